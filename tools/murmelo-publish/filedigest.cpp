#include "filedigest.h"

#include <QCryptographicHash>
#include <QFile>

#include <zlib.h>

#include <memory>

namespace {
constexpr int chunkSize = 1 << 16;
} // namespace

bool FileDigest::ofFile(const QString &path, FileDigest &digest, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    digest = FileDigest(QString::fromLatin1(hash.result().toHex()), quint64(file.size()));
    return true;
}

bool FileDigest::ofGunzipped(const QString &path, FileDigest &digest, QString &error)
{
    using GzFile = std::unique_ptr<gzFile_s, int (*)(gzFile)>;
    GzFile file(gzopen(QFile::encodeName(path).constData(), "rbe"), &gzclose);
    if (!file) {
        error = QStringLiteral("cannot open %1").arg(path);
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    quint64 size = 0;
    int got = 0;
    while ((got = gzread(file.get(), buffer.data(), chunkSize)) > 0) {
        hash.addData(QByteArrayView(buffer.constData(), got));
        size += quint64(got);
    }
    // A truncated stream ends in a short read; only gzclose() tells it from a complete one.
    const int closed = gzclose(file.release());
    if (got < 0 || closed != Z_OK) {
        error = QStringLiteral("%1 is not a complete gzip file").arg(path);
        return false;
    }
    digest = FileDigest(QString::fromLatin1(hash.result().toHex()), size);
    return true;
}
