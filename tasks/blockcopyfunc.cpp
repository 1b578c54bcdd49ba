#include "tasks/blockcopyfunc.h"

#include <QFile>

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

BlockCopyFunc::BlockCopyFunc(const QString &source, const QString &destination, qint64 size,
                             QList<DeltaPlan::Copy> copies, FileDigest::Sums sums, FileDigest &digest)
    : source(source), destination(destination), size(size), copies(std::move(copies)), sums(sums), digest(digest)
{
}

bool BlockCopyFunc::run()
{
    QFile from(source);
    QFile to(destination);
    const auto fail = [&](const QString &text) {
        emit message(text);
        if (to.isOpen())
            to.close();
        to.remove();
        return false;
    };
    if (!from.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(QStringLiteral("Cannot read %1: %2").arg(source, from.errorString()));
    if (!to.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !to.resize(size))
        return fail(QStringLiteral("Cannot write %1: %2").arg(destination, to.errorString()));
    QByteArray chunk(qMax(qint64(1), qMin(ChunkSize, size)), Qt::Uninitialized);
    FileDigest::Stream stream(sums);
    qsizetype next = 0; // the next copy, in file order
    for (qint64 at = 0; at < size;) {
        const bool copying = next < copies.size() && copies.at(next).to == at;
        const qint64 end = copying ? at + copies.at(next).length
                                   : (next < copies.size() ? copies.at(next).to : size);
        if (copying && !from.seek(copies.at(next).from))
            return fail(QStringLiteral("Cannot read %1: %2").arg(source, from.errorString()));
        if (!to.seek(at))
            return fail(QStringLiteral("Cannot write %1: %2").arg(destination, to.errorString()));
        for (; at < end;) {
            const qint64 part = qMin(end - at, ChunkSize);
            if (copying) {
                // A local copy that shrank since the scan shows here as a short read.
                if (!readFully(from, chunk.data(), part))
                    return fail(QStringLiteral("Cannot read %1: it changed while blocks were copied").arg(source));
                if (to.write(chunk.constData(), part) != part)
                    return fail(QStringLiteral("Cannot write %1: %2").arg(destination, to.errorString()));
            } else if (!readFully(to, chunk.data(), part)) {
                return fail(QStringLiteral("Cannot read %1 back: %2").arg(destination, to.errorString()));
            }
            stream.add(QByteArrayView(chunk.constData(), part));
            at += part;
        }
        if (copying)
            ++next;
        emit progress(qreal(at) / qreal(size));
    }
    to.close();
    if (to.error() != QFileDevice::NoError)
        return fail(QStringLiteral("Cannot write %1: %2").arg(destination, to.errorString()));
    digest = stream.result();
    return true;
}
