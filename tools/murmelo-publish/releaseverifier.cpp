#include "releaseverifier.h"

#include "tasks/blockmap.h"
#include "tasks/filedigest.h"
#include "keyfile.h"
#include "update/productini.h"
#include "manifestverifier.h"
#include "releasenames.h"

#include "net/crypt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

ReleaseVerifier::ReleaseVerifier(const QString &versionDir, const QString &keyPath, const QString &clientType,
                                 QTextStream &out, const QString &manifestKey, bool manifestRequired)
    : versionDir(versionDir)
    , keyPath(keyPath)
    , clientType(clientType)
    , manifestKey(manifestKey)
    , manifestRequired(manifestRequired || !manifestKey.isEmpty())
    , out(out)
{
}

ReleaseVerifier::Result ReleaseVerifier::verify()
{
    if (!QFileInfo(versionDir).isDir())
        problems << QStringLiteral("%1 does not exist or is not a directory").arg(versionDir);
    const QString keyProblem = KeyFile::check(keyPath, false);
    if (!keyProblem.isEmpty())
        problems << keyProblem;
    if (const QString why = ManifestVerifier(manifestKey).checkKey(); !why.isEmpty())
        problems << QStringLiteral("--manifest-key %1").arg(why);
    if (!clientType.isEmpty()) {
        const QString why = ReleaseNames::checkClientType(clientType);
        if (!why.isEmpty())
            problems << QStringLiteral("client type %1 %2").arg(clientType, why);
    }
    if (!problems.isEmpty())
        return BadInput;

    const QStringList inis = clientType.isEmpty()
            ? QDir(versionDir).entryList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name)
            : QStringList{clientType + QStringLiteral(".ini")};
    if (inis.isEmpty()) {
        problems << QStringLiteral("%1 holds no product ini (*.ini)").arg(versionDir);
        return Mismatch;
    }
    for (const QString &iniName : inis)
        verifyIni(iniName);
    return problems.isEmpty() ? Verified : Mismatch;
}

void ReleaseVerifier::verifyIni(const QString &iniName)
{
    const int problemsBefore = problems.size();
    blockMaps = 0;
    const QString iniPath = versionDir + QLatin1Char('/') + iniName;
    if (!QFileInfo::exists(iniPath)) {
        problems << QStringLiteral("%1 is missing").arg(iniPath);
        return;
    }
    try {
        if (!verify_file(QFile::encodeName(keyPath).constData(), QFile::encodeName(iniPath).constData()))
            problems << QStringLiteral("%1.sig is not a valid signature of %1 under the key %2").arg(iniPath, keyPath);
    } catch (const crypt_exception &e) {
        problems << QString::fromLocal8Bit(e.what());
    }

    ProductIni ini;
    ProductIni::read(iniPath, ini, problems);
    if (ini.entries.isEmpty() && problems.size() == problemsBefore) {
        problems << QStringLiteral("%1 lists no files; the updater stops with \"No files in product ini\"")
                            .arg(iniPath);
    }
    for (const QString &path : std::as_const(ini.deletePaths)) {
        const QString why = ReleaseNames::checkPath(path);
        if (!why.isEmpty())
            problems << QStringLiteral("%1: [delete] %2 %3").arg(iniName, path, why);
    }

    ManifestVerifier manifest(manifestKey);
    const QString iniClientType = QFileInfo(iniName).completeBaseName();
    const bool withManifest = (manifestRequired
                               || QFileInfo::exists(versionDir + QLatin1Char('/') + ReleaseManifest::fileName(iniClientType)))
            && manifest.load(versionDir, iniClientType, problems);
    const FileDigest::Sums sums = withManifest ? FileDigest::Md5AndSha256 : FileDigest::Md5;
    int compressed = 0;
    for (const ProductIni::Entry &entry : std::as_const(ini.entries)) {
        const QString relative = entry.section + QLatin1Char('/') + entry.key;
        QStringList refused;
        if (const QString why = ReleaseNames::checkSection(entry.section); !why.isEmpty())
            refused << QStringLiteral("section %1 %2").arg(entry.section, why);
        if (const QString why = ReleaseNames::checkPath(entry.key); !why.isEmpty())
            refused << QStringLiteral("key %1 %2").arg(entry.key, why);
        if (const QString why = ReleaseNames::checkPath(entry.unzipName); entry.isCompressed() && !why.isEmpty())
            refused << QStringLiteral("unzip name %1 %2").arg(entry.unzipName, why);
        if (!refused.isEmpty()) {
            problems << QStringLiteral("%1: %2: %3").arg(iniName, relative, refused.join(QStringLiteral("; ")));
            continue;
        }

        const QString path = versionDir + QLatin1Char('/') + relative;
        FileDigest actual;
        if (!QFileInfo(path).isFile() || FileDigest::ofFile(path, actual, sums) != FileDigest::Done) {
            problems << QStringLiteral("%1: %2 is missing or unreadable").arg(iniName, relative);
            continue;
        }
        if (actual.size != entry.file.size) {
            problems << QStringLiteral("%1: %2 has %3 bytes, the product ini says %4")
                                .arg(iniName, relative)
                                .arg(actual.size)
                                .arg(entry.file.size);
        } else if (actual != entry.file) {
            problems << QStringLiteral("%1: %2 has the MD5 sum %3, the product ini says %4")
                                .arg(iniName, relative, actual.md5, entry.file.md5);
        } else if (!entry.isCompressed()) {
            checkBlockMap(iniName, relative, actual);
            if (withManifest)
                manifest.checkFile(relative, actual, FileDigest(), false, problems);
        } else {
            ++compressed;
            FileDigest unzipped;
            const FileDigest::Result result = FileDigest::ofGunzipped(path, unzipped, sums);
            if (result != FileDigest::Done) {
                const QString error = result == FileDigest::CannotOpen
                    ? QStringLiteral("cannot open %1").arg(path)
                    : QStringLiteral("%1 is not a complete gzip file").arg(path);
                problems << QStringLiteral("%1: %2").arg(iniName, error);
            } else if (unzipped != entry.unzipped) {
                problems << QStringLiteral("%1: %2 decompresses to %3 bytes with the MD5 sum %4, the product ini "
                                           "says %5 bytes with %6")
                                    .arg(iniName, relative)
                                    .arg(unzipped.size)
                                    .arg(unzipped.md5)
                                    .arg(entry.unzipped.size)
                                    .arg(entry.unzipped.md5);
            } else if (withManifest) {
                manifest.checkFile(relative, actual, unzipped, true, problems);
            }
        }
    }
    if (withManifest)
        manifest.checkComplete(ini, problems);
    if (problems.size() == problemsBefore && withManifest)
        out << manifest.summary() << QLatin1Char('\n');
    if (problems.size() == problemsBefore) {
        out << QStringLiteral("%1: signature valid; %2 files (%3 compressed) and %4 obsolete paths as listed\n")
                        .arg(iniPath)
                        .arg(ini.entries.size())
                        .arg(compressed)
                        .arg(ini.deletePaths.size());
        if (blockMaps > 0)
            out << QStringLiteral("%1: %2 block maps describe their files\n").arg(iniPath).arg(blockMaps);
    }
}

bool ReleaseVerifier::checkBlockMap(const QString &iniName, const QString &relative, const FileDigest &file)
{
    const QString mapPath = BlockMap::pathFor(versionDir + QLatin1Char('/') + relative);
    QFile stored(mapPath);
    if (!stored.exists())
        return true;
    const QString name = BlockMap::pathFor(relative);
    // The updater reads at most what a map of the file's size can take; so does this check.
    if (stored.size() > BlockMap::HeaderSize + BlockMap::MaxBlocks * BlockMap::EntrySize || !stored.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("%1: %2 is unreadable or larger than any block map").arg(iniName, name);
        return false;
    }
    BlockMap map;
    QString why;
    if (!BlockMap::parse(stored.readAll(), map, why)) {
        problems << QStringLiteral("%1: %2 %3").arg(iniName, name, why);
        return false;
    }
    if (!map.describes(file)) {
        problems << QStringLiteral("%1: %2 describes %3 bytes with the MD5 sum %4, the product ini says %5 bytes with %6")
                            .arg(iniName, name)
                            .arg(map.digest.size)
                            .arg(map.digest.md5)
                            .arg(file.size)
                            .arg(file.md5);
        return false;
    }
    BlockMap actual;
    if (BlockMap::ofFile(versionDir + QLatin1Char('/') + relative, actual) != FileDigest::Done || !(actual == map)) {
        problems << QStringLiteral("%1: %2 does not hold the block checksums of %3").arg(iniName, name, relative);
        return false;
    }
    ++blockMaps;
    return true;
}
