#include "tasks/fileunzipfunc.h"

#include <QFile>

#include <zlib.h>

bool FileUnzipFunc::run()
{
    const bool ok = unzipFile(destination, source);
    if (!ok)
        QFile::remove(destination); // also after an early failure that left an empty file
    return ok;
}

bool FileUnzipFunc::unzipFile(const QString &destination, const QString &source)
{
    // The same 8-bit form of the name that QFile uses, so that both see the same file.
    const QByteArray sourceName = QFile::encodeName(source);
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    gzFile in = gzopen(sourceName.constData(), "rb");
    if (!in)
        return false;
    gzrewind(in);

    // One fixed buffer: memory use does not grow with the file.
    enum { BufferSize = 16384 };
    char buffer[BufferSize];
    for (;;) {
        const int n = gzread(in, buffer, BufferSize);
        if (n == 0) {
            // A stream cut off inside the compressed data also ends with 0; only the close tells.
            if (gzclose(in) != Z_OK) {
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
        if (n < 0 || out.write(buffer, n) != n) {
            gzclose(in);
            out.remove();
            return false;
        }
    }
}
