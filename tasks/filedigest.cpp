#include "tasks/filedigest.h"

#include "tasks/gunzip.h"

#include <QByteArray>
#include <QFile>

namespace {
// Downloads can be larger than the memory of the machine, so files are hashed through this much at a time.
constexpr qint64 ChunkSize = 1 << 20;
} // namespace

FileDigest::Stream::Stream(Sums sums)
{
    if (sums == Md5AndSha256)
        sha256.emplace();
}

void FileDigest::Stream::add(QByteArrayView chunk)
{
    hash.addData(chunk);
    if (sha256)
        sha256->add(chunk);
    size += quint64(chunk.size());
}

FileDigest FileDigest::Stream::result() const
{
    FileDigest digest(QString::fromLatin1(hash.result().toHex()), size);
    if (sha256)
        digest.sha256 = QString::fromLatin1(sha256->result().toHex());
    return digest;
}

FileDigest::Result FileDigest::ofFile(const QString &path, FileDigest &digest, Sums sums)
{
    QFile file(path);
    // Unbuffered: the chunks are large, and QFile's own buffer would only add a copy.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return CannotOpen;
    Stream stream(sums);
    QByteArray chunk(ChunkSize, Qt::Uninitialized);
    for (qint64 remaining = file.size(); remaining > 0;) {
        const qint64 got = file.read(chunk.data(), qMin(remaining, ChunkSize));
        if (got <= 0)
            return CannotRead;
        stream.add(QByteArrayView(chunk.constData(), got));
        remaining -= got;
    }
    digest = stream.result();
    return Done;
}

FileDigest::Result FileDigest::ofGunzipped(const QString &path, FileDigest &digest, Sums sums)
{
    Stream stream(sums);
    const Gunzip::Result result = Gunzip::run(path, [&stream](QByteArrayView chunk) {
        stream.add(chunk);
        return true;
    });
    if (result == Gunzip::CannotOpen)
        return CannotOpen;
    if (result != Gunzip::Done)
        return CannotRead;
    digest = stream.result();
    return Done;
}
