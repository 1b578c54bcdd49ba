#include "tasks/blockcopyfunc.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr qint64 ChunkSize = 1 << 20;

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

BlockCopyFunc::BlockCopyFunc(const Assembly &assembly) : assembly(assembly)
{
}

QString BlockCopyFunc::changedMeanwhile(const QString &source)
{
    return QStringLiteral("Cannot read %1: it changed while blocks were copied").arg(source);
}

bool BlockCopyFunc::run()
{
    QFile to(assembly.destination);
    if (!to.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !to.resize(assembly.size)) {
        emit message(QStringLiteral("Cannot write %1: %2").arg(assembly.destination, to.errorString()));
        to.close();
        to.remove();
        return false;
    }
    to.close();
    const QString error = copyBlocks();
    if (error.isEmpty())
        return true;
    emit message(error);
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
    // The file system is synced before the replaced files are deleted, and the digest of the new file
    // takes a while yet: the copied blocks go to disk meanwhile instead of then.
    sync_file_range(to.handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
    return QString();
}
