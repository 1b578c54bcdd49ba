#include "tasks/fileunzipfunc.h"

#include "tasks/gunzip.h"

#include <QFile>

bool FileUnzipFunc::run()
{
    const bool ok = unzipFile(destination, source);
    if (!ok)
        QFile::remove(destination); // also after an early failure that left an empty file
    return ok;
}

bool FileUnzipFunc::unzipFile(const QString &destination, const QString &source)
{
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const Gunzip::Result result = Gunzip::run(source, [&out](QByteArrayView chunk) {
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
