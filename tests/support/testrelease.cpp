#include "support/testrelease.h"

#include "net/crypt.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <zlib.h>

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
                    unpackedMd5.isEmpty() ? md5(content) : unpackedMd5, content.size()});
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

QByteArray TestRelease::md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray TestRelease::gzip(const QByteArray &data)
{
    QTemporaryFile file;
    if (!file.open())
        return {};
    gzFile gz = gzopen(QFile::encodeName(file.fileName()).constData(), "wb");
    if (!gz)
        return {};
    gzwrite(gz, data.constData(), unsigned(data.size()));
    gzclose(gz);
    return file.readAll();
}

bool TestRelease::write() const
{
    QByteArray ini;
    QString currentSection;
    for (const Entry &entry : entries) {
        const QString path = versionDir() + QLatin1Char('/') + entry.section + QLatin1Char('/')
                + entry.name;
        if (!QDir().mkpath(QFileInfo(path).path()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(entry.shipped) != entry.shipped.size())
            return false;
        if (entry.section != currentSection) {
            currentSection = entry.section;
            ini += '[' + entry.section.toUtf8() + "]\n";
        }
        ini += entry.name.toUtf8() + '=' + md5(entry.shipped) + "::"
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
    QFile iniFile(iniPath());
    if (!QDir().mkpath(versionDir()) || !iniFile.open(QIODevice::WriteOnly)
        || iniFile.write(ini) != ini.size())
        return false;
    iniFile.close();
    try {
        crypt_init();
        sign_file(MURMELO_SOURCE_DIR "/keys/demo/private.key",
                  QFile::encodeName(iniPath()).constData());
    } catch (const crypt_exception &) {
        return false;
    }
    return true;
}
