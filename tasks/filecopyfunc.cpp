#include "tasks/filecopyfunc.h"

#include <QFile>

bool FileCopyFunc::run()
{
    return QFile::copy(source, destination);
}
