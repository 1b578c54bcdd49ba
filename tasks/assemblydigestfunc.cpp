#include "tasks/assemblydigestfunc.h"

#include <QFile>

#include <algorithm>

namespace {
constexpr qint64 ChunkSize = 1 << 20;

bool readFully(QFile &file, char *data, qint64 length)
{
    for (qint64 got = 0; got < length;) {
        const qint64 part = file.read(data + got, length - got);
        if (part <= 0)
            return false;
        got += part;
    }
    return true;
}
} // namespace

AssemblyDigestFunc::AssemblyDigestFunc(const BlockCopyFunc::Assembly &assembly, const Stretch &stretch,
                                       FileDigest::Stream &digest)
    : assembly(assembly), stretch(stretch), digest(digest)
{
}

bool AssemblyDigestFunc::run()
{
    const QString error = takeDigest();
    if (error.isEmpty())
        return true;
    emit message(error);
    QFile::remove(assembly.destination);
    return false;
}

QString AssemblyDigestFunc::takeDigest()
{
    QFile from(assembly.source);
    // Opened only when a fetched byte is due: until the first range is in place, the file may not exist.
    QFile fetched(assembly.destination);
    if (!from.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QStringLiteral("Cannot read %1: %2").arg(assembly.source, from.errorString());
    const QList<DeltaPlan::Copy> &copies = assembly.copies;
    QByteArray chunk(qMax(qint64(1), qMin(ChunkSize, stretch.to - stretch.from)), Qt::Uninitialized);
    // The first copy that ends after the stretch's start, in file order.
    qsizetype next = std::partition_point(copies.begin(), copies.end(), [this](const DeltaPlan::Copy &copy) {
                         return copy.to + copy.length <= stretch.from;
                     }) - copies.begin();
    for (qint64 at = stretch.from; at < stretch.to;) {
        const bool copying = next < copies.size() && copies.at(next).to <= at;
        const qint64 end = qMin(stretch.to, copying ? copies.at(next).to + copies.at(next).length
                                                    : (next < copies.size() ? copies.at(next).to : assembly.size));
        if (!copying && !fetched.isOpen() && !fetched.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return QStringLiteral("Cannot read %1 back: %2").arg(assembly.destination, fetched.errorString());
        QFile &in = copying ? from : fetched;
        if (!in.seek(copying ? copies.at(next).from + (at - copies.at(next).to) : at))
            return QStringLiteral("Cannot read %1: %2").arg(in.fileName(), in.errorString());
        for (; at < end;) {
            const qint64 part = qMin(end - at, ChunkSize);
            if (!readFully(in, chunk.data(), part)) {
                return copying ? BlockCopyFunc::changedMeanwhile(assembly.source)
                               : QStringLiteral("Cannot read %1 back: %2").arg(assembly.destination, fetched.errorString());
            }
            digest.add(QByteArrayView(chunk.constData(), part));
            at += part;
        }
        if (copying && at == copies.at(next).to + copies.at(next).length)
            ++next;
        emit progress(qreal(at) / qreal(assembly.size));
    }
    return QString();
}
