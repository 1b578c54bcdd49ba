#include "tasks/slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &destination)
    : source(source), destination(destination)
{
}
