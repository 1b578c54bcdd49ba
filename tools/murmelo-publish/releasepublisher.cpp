#include "releasepublisher.h"

#include "keyfile.h"
#include "releasenames.h"
#include "releaseverifier.h"

#include "net/crypt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSet>
#include <QTextStream>

#include <zlib.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {
constexpr qint64 chunkSize = 1 << 16;
const QString gzipSuffix = QStringLiteral(".gz");
const QString changelogName = QStringLiteral("changelog_client.txt");

QString absoluteClean(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
}

bool isWithin(const QString &path, const QString &directory)
{
    return path == directory || path.startsWith(directory + QLatin1Char('/'));
}

// Replaces the target, as the mirror must never show a half-written product ini or signature.
bool moveOver(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}
} // namespace

ReleasePublisher::ReleasePublisher(const Options &options, QTextStream &out) : options(options), out(out) {}

QString ReleasePublisher::versionDir() const
{
    return options.outDir + QLatin1Char('/') + options.version;
}

bool ReleasePublisher::publish()
{
    if (!checkOptions() || !collectFiles() || !collectDeletes() || !collectOtherReleases() || !writeFiles()
        || !writeChangelog() || !writeIni()) {
        return false;
    }
    ReleaseVerifier verifier(versionDir(), options.privateKey, options.clientType, out);
    if (verifier.verify() != ReleaseVerifier::Verified) {
        problems << QStringLiteral("the published release does not verify:") << verifier.errors();
        return false;
    }
    out << QStringLiteral("published %1 version %2 into %3\n").arg(options.clientType, options.version, versionDir());
    return true;
}

bool ReleasePublisher::checkOptions()
{
    const auto refuse = [this](const QString &what, const QString &why) {
        if (!why.isEmpty())
            problems << what + QLatin1Char(' ') + why;
    };
    refuse(QStringLiteral("version %1").arg(options.version), ReleaseNames::checkVersion(options.version));
    refuse(QStringLiteral("client type %1").arg(options.clientType), ReleaseNames::checkClientType(options.clientType));
    refuse(QStringLiteral("section %1").arg(options.section), ReleaseNames::checkSection(options.section));
    if (!QFileInfo(options.releaseDir).isDir())
        problems << QStringLiteral("release directory %1 does not exist or is not a directory").arg(options.releaseDir);
    const QString keyProblem = KeyFile::check(options.privateKey, true);
    if (!keyProblem.isEmpty())
        problems << keyProblem;
    const QList<std::pair<QString, QString>> inputs{{QStringLiteral("--previous"), options.previousIni},
                                                    {QStringLiteral("--delete-list"), options.deleteList},
                                                    {QStringLiteral("--changelog"), options.changelog}};
    for (const auto &[option, path] : inputs) {
        if (!path.isEmpty() && (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable()))
            problems << QStringLiteral("%1 %2 does not exist or is unreadable").arg(option, path);
    }
    for (const QString &pattern : std::as_const(options.gzipPatterns)) {
        const QRegularExpression expression = QRegularExpression::fromWildcard(pattern, Qt::CaseSensitive);
        if (pattern.isEmpty() || !expression.isValid())
            problems << QStringLiteral("--gzip %1 is not a usable pattern").arg(pattern);
        gzipExpressions << expression;
    }
    if (QFileInfo::exists(options.outDir) && !QFileInfo(options.outDir).isDir())
        problems << QStringLiteral("output directory %1 is not a directory").arg(options.outDir);
    if (!problems.isEmpty())
        return false;

    const QString ini = versionDir() + QLatin1Char('/') + options.clientType + QStringLiteral(".ini");
    if (QFileInfo::exists(ini)) {
        problems << QStringLiteral("%1 exists: version %2 of %3 is published already, and updaters may have fetched "
                                   "it; publish a new version")
                            .arg(ini, options.version, options.clientType);
    }
    const QString release = absoluteClean(options.releaseDir);
    const QString target = absoluteClean(versionDir());
    if (isWithin(target, release) || isWithin(release, target))
        problems << QStringLiteral("the release directory %1 and the version directory %2 overlap").arg(release, target);
    return problems.isEmpty();
}

bool ReleasePublisher::collectFiles()
{
    collectDirectory(QFile::encodeName(absoluteClean(options.releaseDir)), QString());
    if (problems.isEmpty() && files.isEmpty()) {
        problems << QStringLiteral("release directory %1 holds no files; the updater refuses a product ini without "
                                   "files")
                            .arg(options.releaseDir);
    }
    std::sort(files.begin(), files.end(),
              [](const SourceFile &a, const SourceFile &b) { return a.relative < b.relative; });

    // A compressed "a" lies on the mirror as "a.gz", where a file "a.gz" of the release would lie too.
    QHash<QString, QString> keys;
    for (const SourceFile &file : std::as_const(files)) {
        const QString key = file.compress ? file.relative + gzipSuffix : file.relative;
        const auto other = keys.constFind(key);
        if (other != keys.constEnd()) {
            problems << QStringLiteral("%1 and %2 would both lie on the mirror as %3/%4")
                                .arg(*other, file.relative, options.section, key);
        }
        keys.insert(key, file.relative);
    }
    return problems.isEmpty();
}

// Walks the raw byte names: QDir leaves out names that are not UTF-8, which would drop files silently.
void ReleasePublisher::collectDirectory(const QByteArray &path, const QString &relative)
{
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(path.constData()), &::closedir);
    if (!dir) {
        problems << QStringLiteral("cannot read the directory %1").arg(QFile::decodeName(path));
        return;
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray childPath = path + '/' + name;
        const QString childName = QString::fromUtf8(name);
        const QString childRelative = relative.isEmpty() ? childName : relative + QLatin1Char('/') + childName;
        if (childName.toUtf8() != name) {
            problems << QStringLiteral("%1: name is not valid UTF-8").arg(childRelative);
            continue;
        }
        const QFileInfo info(QFile::decodeName(childPath));
        if (info.isDir() && !info.isSymLink()) {
            collectDirectory(childPath, childRelative);
            continue;
        }
        const QString why = ReleaseNames::checkPath(childRelative);
        if (!why.isEmpty())
            problems << QStringLiteral("%1: file name %2").arg(childRelative, why);
        else if (info.isSymLink() && info.isDir())
            problems << QStringLiteral("%1: is a link to a directory; the updater installs files only").arg(childRelative);
        else if (!info.isFile())
            problems << QStringLiteral("%1: is not a regular file (or a link to nothing)").arg(childRelative);
        else if (!info.isReadable())
            problems << QStringLiteral("%1: cannot be read").arg(childRelative);
        else
            files << SourceFile{info.filePath(), childRelative, isSelectedForGzip(childRelative, info.size())};
    }
}

bool ReleasePublisher::isSelectedForGzip(const QString &relative, qint64 size) const
{
    if (options.gzipAbove >= 0 && size > options.gzipAbove)
        return true;
    const QString name = relative.section(QLatin1Char('/'), -1);
    for (qsizetype i = 0; i < gzipExpressions.size(); ++i) {
        const bool onPath = options.gzipPatterns.at(i).contains(QLatin1Char('/'));
        if (gzipExpressions.at(i).match(onPath ? relative : name).hasMatch())
            return true;
    }
    return false;
}

bool ReleasePublisher::collectDeletes()
{
    QSet<QString> released;
    QSet<QString> releasedDirs;
    for (const SourceFile &file : std::as_const(files)) {
        released << file.relative;
        for (qsizetype slash = file.relative.indexOf(QLatin1Char('/')); slash >= 0;
             slash = file.relative.indexOf(QLatin1Char('/'), slash + 1)) {
            releasedDirs << file.relative.left(slash);
        }
    }

    QStringList deletes;
    if (!options.previousIni.isEmpty()) {
        ProductIni previous;
        if (!ProductIni::read(options.previousIni, previous, problems))
            return false;
        // Obsolete paths of older releases stay listed, so that an installation which skipped the previous
        // release loses them as well; the updater ignores paths that do not exist.
        const QStringList paths = previous.installedPaths() + previous.deletePaths;
        for (const QString &path : paths) {
            if (released.contains(path) || releasedDirs.contains(path))
                continue;
            const QString why = ReleaseNames::checkPath(path);
            if (!why.isEmpty())
                problems << QStringLiteral("--previous %1: %2 %3").arg(options.previousIni, path, why);
            deletes << path;
        }
    }
    if (!options.deleteList.isEmpty() && !readDeleteList(released, releasedDirs, deletes))
        return false;

    deletes.removeDuplicates();
    deletes.sort();
    ini.deletePaths = deletes;
    return problems.isEmpty();
}

bool ReleasePublisher::readDeleteList(const QSet<QString> &released, const QSet<QString> &releasedDirs,
                                      QStringList &deletes)
{
    QFile list(options.deleteList);
    if (!list.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("--delete-list %1 cannot be read: %2").arg(options.deleteList, list.errorString());
        return false;
    }
    for (int lineNumber = 1; !list.atEnd(); ++lineNumber) {
        QByteArray line = list.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        // Bytes that are not UTF-8 become U+FFFD, which the name check refuses.
        const QString path = QString::fromUtf8(line);
        if (path.isEmpty() || path.startsWith(QLatin1Char('#')))
            continue;
        const QString where = QStringLiteral("%1:%2: %3").arg(options.deleteList).arg(lineNumber).arg(path);
        const QString why = ReleaseNames::checkPath(path);
        if (!why.isEmpty()) {
            problems << where + QLatin1Char(' ') + why;
        } else if (released.contains(path) || releasedDirs.contains(path)) {
            problems << where + QStringLiteral(" is part of the new release; the updater deletes obsolete files after "
                                               "installing, so it would remove it");
        } else {
            deletes << path;
        }
    }
    return problems.isEmpty();
}

bool ReleasePublisher::collectOtherReleases()
{
    const QDir dir(versionDir());
    const QStringList inis = dir.entryList({QStringLiteral("*.ini")}, QDir::Files);
    for (const QString &name : inis) {
        ProductIni other;
        QStringList errors;
        if (!ProductIni::read(dir.filePath(name), other, errors)) {
            problems << QStringLiteral("cannot tell which files the published %1 uses:").arg(name) << errors;
            continue;
        }
        for (const ProductIni::Entry &entry : std::as_const(other.entries))
            otherReleases.insert(entry.section + QLatin1Char('/') + entry.key, name);
    }
    return problems.isEmpty();
}

bool ReleasePublisher::writeFiles()
{
    out << QStringLiteral("publishing %1 files of %2 into %3/%4\n")
                    .arg(files.size())
                    .arg(options.releaseDir, versionDir(), options.section);
    int compressed = 0;
    for (const SourceFile &file : std::as_const(files)) {
        ProductIni::Entry entry;
        if (!writeFile(file, entry))
            return false;
        compressed += file.compress ? 1 : 0;
        ini.entries << entry;
    }
    out << QStringLiteral("%1 files written, %2 of them gzip-compressed; %3 obsolete paths listed\n")
                    .arg(files.size())
                    .arg(compressed)
                    .arg(ini.deletePaths.size());
    return true;
}

bool ReleasePublisher::writeFile(const SourceFile &source, ProductIni::Entry &entry)
{
    entry.section = options.section;
    entry.key = source.compress ? source.relative + gzipSuffix : source.relative;
    const QString relative = entry.section + QLatin1Char('/') + entry.key;
    const QString target = versionDir() + QLatin1Char('/') + relative;
    if (!QDir().mkpath(QFileInfo(target).path())) {
        problems << QStringLiteral("cannot create the directory %1").arg(QFileInfo(target).path());
        return false;
    }
    QFile input(source.path);
    if (!input.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("cannot read %1: %2").arg(source.path, input.errorString());
        return false;
    }
    QSaveFile output(target);
    if (!output.open(QIODevice::WriteOnly)) {
        problems << QStringLiteral("cannot write %1: %2").arg(target, output.errorString());
        return false;
    }
    FileDigest read;
    if (!transfer(input, output, source.compress, read, entry.file))
        return false;
    if (source.compress) {
        entry.unzipped = read;
        entry.unzipName = source.relative;
    }
    return commit(output, relative, entry.file);
}

bool ReleasePublisher::transfer(QFileDevice &from, QFileDevice &to, bool compress, FileDigest &read, FileDigest &written)
{
    FileDigest::Stream readDigest;
    FileDigest::Stream writtenDigest;
    const auto fail = [&](const QString &what, QFileDevice &device) {
        problems << QStringLiteral("cannot %1 %2: %3").arg(what, device.fileName(), device.errorString());
        return false;
    };
    const auto emitBytes = [&](const char *data, qint64 length) {
        writtenDigest.add(QByteArrayView(data, length));
        return to.write(data, length) == length;
    };

    // The gzip header carries no name and no time, so the same content always gives the same bytes.
    z_stream stream{};
    if (compress && deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        problems << QStringLiteral("cannot start zlib compression");
        return false;
    }
    const auto endStream = qScopeGuard([&] {
        if (compress)
            deflateEnd(&stream);
    });
    QByteArray input(chunkSize, Qt::Uninitialized);
    QByteArray output(chunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = from.read(input.data(), chunkSize);
        if (got < 0)
            return fail(QStringLiteral("read"), from);
        readDigest.add(QByteArrayView(input.constData(), got));
        if (!compress) {
            if (got == 0)
                break;
            if (!emitBytes(input.constData(), got))
                return fail(QStringLiteral("write"), to);
            continue;
        }
        stream.next_in = reinterpret_cast<Bytef *>(input.data());
        stream.avail_in = uInt(got);
        const int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(output.data());
            stream.avail_out = uInt(chunkSize);
            deflate(&stream, flush);
            if (!emitBytes(output.constData(), chunkSize - stream.avail_out))
                return fail(QStringLiteral("write"), to);
        } while (stream.avail_out == 0);
        if (flush == Z_FINISH)
            break;
    }
    read = readDigest.result();
    written = writtenDigest.result();
    return true;
}

bool ReleasePublisher::commit(QSaveFile &file, const QString &relative, const FileDigest &digest)
{
    const QString target = file.fileName();
    if (QFileInfo::exists(target)) {
        FileDigest existing;
        // Leaving an identical file alone keeps its time stamp, so mirror synchronisation skips it.
        if (FileDigest::ofFile(target, existing) == FileDigest::Done && existing == digest) {
            file.cancelWriting();
            return true;
        }
        const auto user = otherReleases.constFind(relative);
        if (user != otherReleases.constEnd()) {
            file.cancelWriting();
            problems << QStringLiteral("%1 exists with other content and belongs to the published %2; publish this "
                                       "client type into another section (--section)")
                                .arg(target, *user);
            return false;
        }
    }
    if (!file.commit()) {
        problems << QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
        return false;
    }
    return true;
}

bool ReleasePublisher::writeChangelog()
{
    if (options.changelog.isEmpty())
        return true;
    QFile input(options.changelog);
    QSaveFile output(versionDir() + QLatin1Char('/') + changelogName);
    if (!input.open(QIODevice::ReadOnly) || !output.open(QIODevice::WriteOnly)) {
        problems << QStringLiteral("cannot copy %1 to %2").arg(options.changelog, output.fileName());
        return false;
    }
    FileDigest read;
    FileDigest written;
    if (!transfer(input, output, false, read, written))
        return false;
    if (!output.commit()) {
        problems << QStringLiteral("cannot write %1: %2").arg(output.fileName(), output.errorString());
        return false;
    }
    out << QStringLiteral("wrote %1\n").arg(output.fileName());
    return true;
}

bool ReleasePublisher::writeIni()
{
    const QString final = versionDir() + QLatin1Char('/') + options.clientType + QStringLiteral(".ini");
    const QString part = final + QStringLiteral(".part");
    QString error;
    if (!ini.write(part, error)) {
        problems << error;
        QFile::remove(part);
        return false;
    }
    try {
        sign_file(QFile::encodeName(options.privateKey).constData(), QFile::encodeName(part).constData());
    } catch (const crypt_exception &e) {
        problems << QString::fromLocal8Bit(e.what());
        QFile::remove(part);
        return false;
    }
    // The signature goes first: an updater that sees the new product ini must find its signature too.
    const QString sig = QStringLiteral(".sig");
    if (!moveOver(part + sig, final + sig) || !moveOver(part, final)) {
        problems << QStringLiteral("cannot rename %1 to %2").arg(part, final);
        return false;
    }
    out << QStringLiteral("wrote %1 and %1.sig\n").arg(final);
    return true;
}
