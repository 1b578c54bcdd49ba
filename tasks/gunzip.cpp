#include "tasks/gunzip.h"

#include <QByteArray>
#include <QFile>

#include <zlib.h>

namespace {
constexpr int ChunkSize = 1 << 16;
} // namespace

Gunzip::Result Gunzip::run(const QString &path, const Sink &sink)
{
    // The same 8-bit form of the name that QFile uses, so that both see the same file.
    gzFile in = gzopen(QFile::encodeName(path).constData(), "rbe");
    if (!in)
        return CannotOpen;
    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    int got = 0;
    while ((got = gzread(in, buffer.data(), ChunkSize)) > 0) {
        if (!sink(QByteArrayView(buffer.constData(), got))) {
            gzclose(in);
            return SinkFailed;
        }
    }
    // A stream cut off inside the compressed data also ends in a read of 0; only the close tells.
    const int closed = gzclose(in);
    return got < 0 || closed != Z_OK ? Broken : Done;
}
