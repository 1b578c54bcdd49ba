#include "support/testrelease.h"
#include "support/testfiles.h"

#include "net/crypt.h"

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
                    unpackedMd5.isEmpty() ? md5Hex(content) : unpackedMd5, content.size()});
}

void TestRelease::addDelete(const QString &path)
{
    deletes.append(path);
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
    if (!writeFile(iniPath(), ini))
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
