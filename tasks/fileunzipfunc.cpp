#include "tasks/fileunzipfunc.h"

#include "tasks/digestpipeline.h"
#include "tasks/gunzip.h"

#include <QFile>

FileUnzipFunc::FileUnzipFunc(const QString &source, const QString &destination,
                             std::optional<FileDigest::Sums> sums)
    : SlowFileOpFunc(source, destination), sums(sums)
{
}

bool FileUnzipFunc::run()
{
    std::optional<DigestPipeline> digest;
    if (sums)
        digest.emplace(*sums);
    const bool ok = unzipFile(destination, source, digest ? &*digest : nullptr);
    if (!ok)
        QFile::remove(destination); // also after an early failure that left an empty file
    else if (digest)
        emit unpacked(digest->result());
    return ok;
}

bool FileUnzipFunc::unzipFile(const QString &destination, const QString &source, DigestPipeline *digest)
{
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const Gunzip::Result result = Gunzip::run(source, [&out, digest](QByteArrayView chunk) {
        if (digest)
            digest->add(chunk);
        return out.write(chunk.data(), chunk.size()) == chunk.size();
    });
    if (result != Gunzip::Done) {
        out.remove();
        return false;
    }
    out.close();
    if (out.error() != QFileDevice::NoError) {
        out.remove();
        return false;
    }
    return true;
}
