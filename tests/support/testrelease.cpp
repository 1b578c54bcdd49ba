#include "support/testrelease.h"
#include "support/testfiles.h"

#include "net/crypt.h"
#include "net/manifestkey.h"
#include "net/releasemanifest.h"

#include <QCryptographicHash>
#include <QFile>

const QString TestRelease::DefaultClientType = QStringLiteral("client_linux_amd64");

TestRelease::TestRelease(const QString &root, int version, const QString &clientType)
    : root(root), version(version), clientType(clientType)
{
}

void TestRelease::addFile(const QString &section, const QString &name, const QByteArray &content)
{
    entries.append({section, name, content, QString(), QByteArray(), 0});
}

void TestRelease::addGzipFile(const QString &section, const QString &name,
                              const QString &installName, const QByteArray &content,
                              const QByteArray &unpackedMd5)
{
    entries.append({section, name, gzip(content), installName,
                    unpackedMd5.isEmpty() ? md5Hex(content) : unpackedMd5, content.size(), content});
}

void TestRelease::addDelete(const QString &path)
{
    deletes.append(path);
}

void TestRelease::setManifest(const Manifest &wanted)
{
    manifest = wanted;
}

QString TestRelease::manifestPath() const
{
    return versionDir() + QLatin1Char('/') + ReleaseManifest::fileName(clientType);
}

QString TestRelease::manifestUrlPath() const
{
    return QStringLiteral("/%1/").arg(version) + ReleaseManifest::fileName(clientType);
}

bool TestRelease::writeManifest() const
{
    const auto sha256 = [](const QByteArray &bytes) {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    };
    ReleaseManifest text;
    text.clientType = manifest->clientType.isEmpty() ? clientType : manifest->clientType;
    text.version = manifest->version ? manifest->version : quint64(version);
    text.channel = manifest->channel;
    text.expires = manifest->expires.isValid() ? manifest->expires : QDateTime::currentDateTimeUtc().addDays(1);
    for (const QByteArray &line : manifest->rotationLines) {
        KeyRotation rotation;
        if (!KeyRotation::parse(line, rotation).isEmpty())
            return false;
        text.rotations << rotation;
    }
    for (const Entry &entry : entries) {
        const QString path = entry.section + QLatin1Char('/') + entry.name;
        if (manifest->omitted.contains(path))
            continue;
        ReleaseManifest::File file;
        file.sha256 = manifest->sha256.value(path, sha256(entry.shipped));
        file.size = quint64(entry.shipped.size());
        if (!entry.installName.isEmpty()) {
            file.compressed = true;
            file.unpackedSha256 = manifest->unpackedSha256.value(path, sha256(entry.unpacked));
            file.unpackedSize = quint64(entry.unpackedSize);
        }
        text.files.insert(path, file);
    }
    ManifestKey key;
    if (!ManifestKey::fromFile(QStringLiteral(MURMELO_SOURCE_DIR "/") + manifest->key, key).isEmpty())
        return false;
    text.sign(key);
    return writeFile(manifestPath(), text.text());
}

QString TestRelease::versionDir() const
{
    return root + QLatin1Char('/') + QString::number(version);
}

QString TestRelease::iniPath() const
{
    return versionDir() + QLatin1Char('/') + clientType + QStringLiteral(".ini");
}

QString TestRelease::urlPath(const QString &section, const QString &name) const
{
    return QStringLiteral("/%1/%2/%3").arg(version).arg(section, name);
}

bool TestRelease::write() const
{
    QByteArray ini;
    QString currentSection;
    for (const Entry &entry : entries) {
        const QString path = versionDir() + QLatin1Char('/') + entry.section + QLatin1Char('/')
                + entry.name;
        if (!writeFile(path, entry.shipped))
            return false;
        if (entry.section != currentSection) {
            currentSection = entry.section;
            ini += '[' + entry.section.toUtf8() + "]\n";
        }
        ini += entry.name.toUtf8() + '=' + md5Hex(entry.shipped) + "::"
                + QByteArray::number(entry.shipped.size());
        if (!entry.installName.isEmpty()) {
            ini += "::" + entry.unpackedMd5 + "::" + QByteArray::number(entry.unpackedSize) + "::"
                    + entry.installName.toUtf8();
        }
        ini += '\n';
    }
    if (!deletes.isEmpty()) {
        ini += "[delete]\n";
        for (const QString &path : deletes)
            ini += path.toUtf8() + "=1\n";
    }
    if (!writeFile(iniPath(), ini) || (manifest && !writeManifest()))
        return false;
    try {
        crypt_init();
        sign_file(MURMELO_SOURCE_DIR "/keys/demo/private.key",
                  QFile::encodeName(iniPath()).constData());
    } catch (const crypt_exception &) {
        return false;
    }
    return true;
}
