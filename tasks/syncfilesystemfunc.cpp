#include "tasks/syncfilesystemfunc.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

bool SyncFileSystemFunc::run()
{
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    ::syncfs(fd);
    ::close(fd);
    return true;
}
