#include "tasks/filecopyfunc.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a descriptor on every way out.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    const int fd;
};

// The kernel copies without the data passing through this process, and shares the blocks outright where
// the file system can clone them.
bool copyContents(int from, int to, qint64 size)
{
    if (::ioctl(to, FICLONE, from) == 0)
        return true;
    bool ranged = true;
    for (qint64 left = size; left > 0;) {
        ssize_t copied = -1;
        if (ranged) {
            copied = ::copy_file_range(from, nullptr, to, nullptr, size_t(left), 0);
            // Between file systems of different kinds (and on old kernels) only sendfile copies in the
            // kernel.
            ranged = copied >= 0 || left != size
                || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP);
        }
        if (!ranged)
            copied = ::sendfile(to, from, nullptr, size_t(left));
        if (copied <= 0)
            return false;
        left -= copied;
    }
    return true;
}

} // namespace

// Written into an unnamed file of the target directory and given its name only when complete, so that a
// killed run never leaves a partial file under the target's name (which a later run would park and could
// restore as the original). No sync per file: the downloads it copies are not synced either.
bool FileCopyFunc::run()
{
    const Descriptor from(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (from.fd < 0 || ::fstat(from.fd, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const QByteArray directory = QFile::encodeName(QFileInfo(destination).absolutePath());
    const Descriptor to(::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (to.fd < 0) {
        // A file system without unnamed files: the toolkit's copy does the same job more slowly.
        return (errno == EOPNOTSUPP || errno == EISDIR) && QFile::copy(source, destination);
    }
    if (!copyContents(from.fd, to.fd, status.st_size) || ::fchmod(to.fd, status.st_mode & 07777) != 0)
        return false;
    // Fails when the destination exists, like the toolkit's copy.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(to.fd);
    return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, QFile::encodeName(destination).constData(),
                    AT_SYMLINK_FOLLOW) == 0;
}
