#include "manifestwriter.h"

#include "net/manifestkey.h"
#include "net/manifestkeyring.h"
#include "net/releasemanifest.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>

namespace {
constexpr qint64 MaxStatementBytes = 16384;

bool readRotation(const QString &path, KeyRotation &rotation, QStringList &problems)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("--rotation %1 cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray line = file.read(MaxStatementBytes + 1);
    if (line.endsWith('\n'))
        line.chop(1);
    const QString why = line.size() > MaxStatementBytes ? QStringLiteral("it is too large") : KeyRotation::parse(line, rotation);
    if (!why.isEmpty()) {
        problems << QStringLiteral("--rotation %1 is no key rotation statement: %2").arg(path, why);
        return false;
    }
    return true;
}
} // namespace

qint64 ManifestWriter::parseDuration(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([1-9][0-9]{0,8})([smhd]?)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return -1;
    const qint64 units[] = {1, 60, 3600, 86400};
    const qsizetype unit = QStringLiteral("smhd").indexOf(match.captured(2));
    return match.captured(1).toLongLong() * units[qMax(qsizetype(0), unit)];
}

bool ManifestWriter::checkOptions(const Options &options, QStringList &problems)
{
    const int before = problems.size();
    ManifestKey key;
    const QString why = ManifestKey::fromFile(options.privateKey, key);
    if (!why.isEmpty())
        problems << QStringLiteral("--manifest-key %1").arg(why);
    else if (!key.isPrivate())
        problems << QStringLiteral("--manifest-key %1 holds a public key; signing needs the private key").arg(options.privateKey);
    if (!QRegularExpression(QStringLiteral("^[a-z0-9-]{1,32}$")).match(options.channel).hasMatch())
        problems << QStringLiteral("--channel %1 is not a channel name (lower-case letters, digits, \"-\")").arg(options.channel);
    if (options.expiresIn <= 0)
        problems << QStringLiteral("--expires-in must be a positive duration such as 30d, 12h or 3600");
    // The updaters carry the keys built into this tree; a manifest they would refuse is not published.
    ManifestKeyring ring = ManifestKeyring::builtIn();
    for (const QString &path : options.rotationFiles) {
        KeyRotation rotation;
        if (!readRotation(path, rotation, problems))
            continue;
        if (const QString why = rotation.applyTo(ring); !why.isEmpty())
            problems << QStringLiteral("--rotation %1: %2").arg(path, why);
    }
    if (problems.size() == before && !ring.find(key.id())) {
        problems << QStringLiteral("--manifest-key %1: the key %2 is not trusted by the updaters (they trust %3); add "
                                   "it with a --rotation statement signed by a trusted key")
                            .arg(options.privateKey, key.id(), ring.ids().join(QStringLiteral(", ")));
    }
    return problems.size() == before;
}

bool ManifestWriter::write(const Options &options, const QString &versionDir, const QString &clientType,
                           quint64 version, const ProductIni &ini, QTextStream &out, QStringList &problems)
{
    ReleaseManifest manifest;
    manifest.clientType = clientType;
    manifest.version = version;
    manifest.channel = options.channel;
    manifest.expires = QDateTime::currentDateTimeUtc().addSecs(options.expiresIn);
    for (const QString &path : options.rotationFiles) {
        KeyRotation rotation;
        if (!readRotation(path, rotation, problems))
            return false;
        manifest.rotations << rotation;
    }
    for (const ProductIni::Entry &entry : ini.entries) {
        ReleaseManifest::File file;
        file.sha256 = entry.file.sha256;
        file.size = entry.file.size;
        file.compressed = entry.isCompressed();
        file.unpackedSha256 = entry.unzipped.sha256;
        file.unpackedSize = entry.unzipped.size;
        manifest.files.insert(entry.section + QLatin1Char('/') + entry.key, file);
    }
    ManifestKey key;
    ManifestKey::fromFile(options.privateKey, key);
    manifest.sign(key);

    QSaveFile file(versionDir + QLatin1Char('/') + ReleaseManifest::fileName(clientType));
    if (!file.open(QIODevice::WriteOnly) || file.write(manifest.text()) < 0 || !file.commit()) {
        problems << QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    out << QStringLiteral("wrote %1 (channel %2, signed with key %3, expires %4)\n")
                   .arg(file.fileName(), manifest.channel, manifest.signerId, ReleaseManifest::formatTime(manifest.expires));
    return true;
}
