#include "releasewriter.h"

#include "publishprogress.h"

#include "net/crypt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <QTextStream>

#include <zlib.h>

#include <cstdio>
#include <optional>

namespace {
constexpr qint64 chunkSize = 1 << 16;
const QString changelogName = QStringLiteral("changelog_client.txt");

// Replaces the target, as the mirror must never show a half-written product ini or signature.
bool moveOver(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}
} // namespace

ReleaseWriter::ReleaseWriter(const QString &versionDir, QTextStream &out, QStringList &problems)
    : versionDir(versionDir), out(out), problems(problems)
{
}

bool ReleaseWriter::readOtherReleases()
{
    const QDir dir(versionDir);
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

bool ReleaseWriter::writeFile(const QString &section, const ReleaseTree::SourceFile &source, ProductIni::Entry &entry)
{
    entry.section = section;
    entry.key = ReleaseTree::mirrorKey(source);
    const QString relative = entry.section + QLatin1Char('/') + entry.key;
    const QString target = versionDir + QLatin1Char('/') + relative;
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
    const qint64 size = input.size();
    std::optional<BlockMap::Builder> blocks;
    if (!source.compress && blockMapThreshold >= 0 && size >= blockMapThreshold)
        blocks.emplace(BlockMap::blockSizeFor(quint64(size)), quint64(size));
    if (!transfer(input, output, source.compress, read, entry.file, blocks ? &*blocks : nullptr))
        return false;
    if (source.compress) {
        entry.unzipped = read;
        entry.unzipName = source.relative;
    }
    return commit(output, relative, entry.file) && (!blocks || writeBlockMap(target, blocks->result()));
}

bool ReleaseWriter::writeBlockMap(const QString &target, const BlockMap &map)
{
    const QString path = BlockMap::pathFor(target);
    const QByteArray data = map.serialize();
    QFile existing(path);
    // Left alone when unchanged, like the file it describes.
    if (existing.open(QIODevice::ReadOnly) && existing.size() == data.size() && existing.readAll() == data) {
        ++blockMaps;
        return true;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        problems << QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    ++blockMaps;
    return true;
}

bool ReleaseWriter::transfer(QFileDevice &from, QFileDevice &to, bool compress, FileDigest &read, FileDigest &written,
                             BlockMap::Builder *blocks)
{
    // SHA-256 too, for the release manifest, from the same pass.
    FileDigest::Stream readDigest(FileDigest::Md5AndSha256);
    FileDigest::Stream writtenDigest(FileDigest::Md5AndSha256);
    const auto fail = [&](const QString &what, QFileDevice &device) {
        problems << QStringLiteral("cannot %1 %2: %3").arg(what, device.fileName(), device.errorString());
        return false;
    };
    const auto emitBytes = [&](const char *data, qint64 length) {
        writtenDigest.add(QByteArrayView(data, length));
        if (blocks)
            blocks->add(QByteArrayView(data, length));
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
        if (progress)
            progress->advance(got);
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

bool ReleaseWriter::commit(QSaveFile &file, const QString &relative, const FileDigest &digest)
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

bool ReleaseWriter::writeChangelog(const QString &changelog)
{
    QFile input(changelog);
    QSaveFile output(versionDir + QLatin1Char('/') + changelogName);
    if (!input.open(QIODevice::ReadOnly) || !output.open(QIODevice::WriteOnly)) {
        problems << QStringLiteral("cannot copy %1 to %2").arg(changelog, output.fileName());
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

bool ReleaseWriter::writeIni(const ProductIni &ini, const QString &clientType, const QString &privateKey)
{
    const QString final = versionDir + QLatin1Char('/') + clientType + QStringLiteral(".ini");
    const QString part = final + QStringLiteral(".part");
    QString error;
    if (!ini.write(part, error)) {
        problems << error;
        QFile::remove(part);
        return false;
    }
    try {
        sign_file(QFile::encodeName(privateKey).constData(), QFile::encodeName(part).constData());
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
