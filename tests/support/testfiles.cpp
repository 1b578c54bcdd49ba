#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <zlib.h>

#include <cstring>

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
            && file.write(content) == content.size();
}

QByteArray readFile(const QString &path, const QByteArray &whenMissing)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : whenMissing;
}

QByteArray md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qsizetype at = 0; at < size; at += 4) {
        const quint32 word = generator.generate();
        std::memcpy(data.data() + at, &word, size_t(qMin(qsizetype(4), size - at)));
    }
    return data;
}

QByteArray gzip(const QByteArray &data)
{
    z_stream stream = {};
    // 16 added to the window bits asks for a gzip header and trailer instead of zlib's.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const bool complete = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.truncate(int(stream.total_out));
    deflateEnd(&stream);
    return complete ? out : QByteArray();
}

bool writeTree(const QString &dir, const QMap<QString, QByteArray> &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (!writeFile(dir + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}
