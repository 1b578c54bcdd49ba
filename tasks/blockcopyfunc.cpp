#include "tasks/blockcopyfunc.h"

#include "tasks/parallelfor.h"

#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {
constexpr qint64 ChunkSize = 1 << 20;

QString changedMeanwhile(const QString &source)
{
    return QStringLiteral("Cannot read %1: it changed while blocks were copied").arg(source);
}

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

// Through user space, for file systems that cannot copy between two files in the kernel.
bool copyThroughBuffer(int from, off_t fromOffset, int to, off_t toOffset, qint64 length)
{
    QByteArray chunk(qMin(length, ChunkSize), Qt::Uninitialized);
    while (length > 0) {
        const ssize_t got = pread(from, chunk.data(), size_t(qMin(length, ChunkSize)), fromOffset);
        if (got <= 0)
            return false;
        for (ssize_t written = 0; written < got;) {
            const ssize_t part = pwrite(to, chunk.constData() + written, size_t(got - written), toOffset + written);
            if (part <= 0)
                return false;
            written += part;
        }
        fromOffset += got;
        toOffset += got;
        length -= got;
    }
    return true;
}
} // namespace

BlockCopyFunc::BlockCopyFunc(const Assembly &assembly, FileDigest &digest) : assembly(assembly), digest(digest)
{
}

bool BlockCopyFunc::run()
{
    {
        QFile to(assembly.destination);
        if (!to.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !to.resize(assembly.size)) {
            emit message(QStringLiteral("Cannot write %1: %2").arg(assembly.destination, to.errorString()));
            to.close();
            to.remove();
            return false;
        }
    }
    QString copyError;
    QString digestError;
    const Qt::HANDLE caller = QThread::currentThreadId();
    parallelFor(2, [&](qsizetype pass) {
        if (pass == 0) {
            copyError = copyBlocks();
        } else {
            // Reports leave only from the worker's own thread, where its signals belong.
            digestError = takeDigest([this, caller](qreal share) {
                if (QThread::currentThreadId() == caller)
                    emit progress(share);
            });
        }
    });
    if (copyError.isEmpty() && digestError.isEmpty())
        return true;
    emit message(copyError.isEmpty() ? digestError : copyError);
    QFile::remove(assembly.destination);
    return false;
}

QString BlockCopyFunc::copyBlocks() const
{
    QFile from(assembly.source);
    QFile to(assembly.destination);
    if (!from.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QStringLiteral("Cannot read %1: %2").arg(assembly.source, from.errorString());
    if (!to.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return QStringLiteral("Cannot write %1: %2").arg(assembly.destination, to.errorString());
    bool inKernel = true;
    for (const DeltaPlan::Copy &copy : assembly.copies) {
        off_t fromOffset = copy.from;
        off_t toOffset = copy.to;
        qint64 left = copy.length;
        while (left > 0 && inKernel) {
            const ssize_t part = copy_file_range(from.handle(), &fromOffset, to.handle(), &toOffset, size_t(left), 0);
            if (part < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                inKernel = false;
                break;
            }
            if (part < 0)
                return QStringLiteral("Cannot write %1: %2").arg(assembly.destination, QString::fromLocal8Bit(strerror(errno)));
            // A local copy that shrank since the scan ends early.
            if (part == 0)
                return changedMeanwhile(assembly.source);
            left -= part;
        }
        if (left > 0 && !copyThroughBuffer(from.handle(), fromOffset, to.handle(), toOffset, left))
            return changedMeanwhile(assembly.source);
    }
    return QString();
}

QString BlockCopyFunc::takeDigest(const std::function<void(qreal)> &progress)
{
    QFile from(assembly.source);
    QFile fetched(assembly.destination);
    if (!from.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QStringLiteral("Cannot read %1: %2").arg(assembly.source, from.errorString());
    if (!fetched.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QStringLiteral("Cannot read %1 back: %2").arg(assembly.destination, fetched.errorString());
    const QList<DeltaPlan::Copy> &copies = assembly.copies;
    const qint64 size = assembly.size;
    QByteArray chunk(qMax(qint64(1), qMin(ChunkSize, size)), Qt::Uninitialized);
    FileDigest::Stream stream(assembly.sums);
    qsizetype next = 0; // the next copy, in file order
    for (qint64 at = 0; at < size;) {
        const bool copying = next < copies.size() && copies.at(next).to == at;
        const qint64 end = copying ? at + copies.at(next).length : (next < copies.size() ? copies.at(next).to : size);
        QFile &in = copying ? from : fetched;
        if (!in.seek(copying ? copies.at(next).from : at))
            return QStringLiteral("Cannot read %1: %2").arg(in.fileName(), in.errorString());
        for (; at < end;) {
            const qint64 part = qMin(end - at, ChunkSize);
            if (!readFully(in, chunk.data(), part)) {
                return copying ? changedMeanwhile(assembly.source)
                               : QStringLiteral("Cannot read %1 back: %2").arg(assembly.destination, fetched.errorString());
            }
            stream.add(QByteArrayView(chunk.constData(), part));
            at += part;
        }
        if (copying)
            ++next;
        progress(qreal(at) / qreal(size));
    }
    digest = stream.result();
    return QString();
}
