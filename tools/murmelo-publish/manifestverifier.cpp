#include "manifestverifier.h"

#include "tasks/filedigest.h"

#include <QFile>
#include <QFileInfo>

ManifestVerifier::ManifestVerifier(const QString &keyPath) : keyPath(keyPath) {}

QString ManifestVerifier::checkKey() const
{
    ManifestKey key;
    return keyPath.isEmpty() ? QString() : ManifestKey::fromFile(keyPath, key);
}

bool ManifestVerifier::load(const QString &versionDir, const QString &clientType, QStringList &problems)
{
    manifestPath = versionDir + QLatin1Char('/') + ReleaseManifest::fileName(clientType);
    QFile file(manifestPath);
    if (!file.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("%1 cannot be read: %2").arg(manifestPath, file.errorString());
        return false;
    }
    QString why = ReleaseManifest::parse(file.read(ReleaseManifest::MaxBytes + 1), manifest);
    ManifestKeyring ring;
    if (why.isEmpty()) {
        ManifestKey key;
        if (keyPath.isEmpty())
            ring = ManifestKeyring::builtIn();
        else if (ManifestKey::fromFile(keyPath, key).isEmpty())
            ring.add(key);
        why = manifest.verify(ring);
    }
    if (why.isEmpty() && manifest.clientType != clientType)
        why = QStringLiteral("it is for the client type %1").arg(manifest.clientType);
    const QString version = QFileInfo(versionDir).fileName();
    if (why.isEmpty() && QString::number(manifest.version) != version)
        why = QStringLiteral("it is for version %1, the directory is %2").arg(manifest.version).arg(version);
    if (why.isEmpty() && manifest.expires <= QDateTime::currentDateTimeUtc())
        why = QStringLiteral("it expired at %1").arg(ReleaseManifest::formatTime(manifest.expires));
    if (!why.isEmpty()) {
        problems << QStringLiteral("%1: %2").arg(manifestPath, why);
        return false;
    }
    return true;
}

void ManifestVerifier::checkFile(const QString &relative, const FileDigest &file, const FileDigest &unzipped,
                                 bool compressed, QStringList &problems)
{
    const auto listed = manifest.files.constFind(relative);
    if (listed == manifest.files.constEnd()) {
        problems << QStringLiteral("%1 does not list %2").arg(manifestPath, relative);
    } else if (listed->sha256 != file.sha256 || listed->size != file.size) {
        problems << QStringLiteral("%1: %2 has the SHA-256 sum %3 and %4 bytes, the manifest says %5 and %6")
                            .arg(manifestPath, relative, file.sha256)
                            .arg(file.size)
                            .arg(listed->sha256)
                            .arg(listed->size);
    } else if (listed->compressed != compressed
               || (compressed && (listed->unpackedSha256 != unzipped.sha256 || listed->unpackedSize != unzipped.size))) {
        problems << QStringLiteral("%1: %2 decompresses to other content than the manifest says").arg(manifestPath, relative);
    }
}

void ManifestVerifier::checkComplete(const ProductIni &ini, QStringList &problems) const
{
    QStringList unseen = manifest.files.keys();
    for (const ProductIni::Entry &entry : ini.entries)
        unseen.removeOne(entry.section + QLatin1Char('/') + entry.key);
    for (const QString &relative : std::as_const(unseen))
        problems << QStringLiteral("%1 lists %2, which the product ini does not").arg(manifestPath, relative);
}

QString ManifestVerifier::summary() const
{
    return QStringLiteral("%1: signed with key %2, channel %3, expires %4")
            .arg(manifestPath, manifest.signerId, manifest.channel, ReleaseManifest::formatTime(manifest.expires));
}
