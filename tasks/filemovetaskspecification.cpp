#include "tasks/filemovetaskspecification.h"

#include "tasks/rollbackdatalist.h"

#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

void FileMoveTaskSpecification::execute()
{
    const QByteArray from = QFile::encodeName(source);
    struct stat status;
    // Only a plain file moves: anything else in the temporary directory goes through the copy, which
    // reads what it points to, as it always did.
    if (::lstat(from.constData(), &status) != 0 || !S_ISREG(status.st_mode)
        || ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, QFile::encodeName(destination).constData(),
                       RENAME_NOREPLACE)
            != 0) {
        FileCopyTaskSpecification::execute();
        return;
    }
    if (rollbackList)
        rollbackList->add(RollbackData(RollbackData::Rename, source, destination));
    state = StateRunning;
    finish();
}
