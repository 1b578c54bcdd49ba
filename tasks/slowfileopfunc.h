#pragma once

#include "tasks/asyncfunc.h"

// Worker side of a file operation: works on its own copies of the two paths.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString &source, const QString &destination);

protected:
    QString source;
    QString destination;
};
