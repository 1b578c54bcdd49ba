#pragma once

#include "tasks/slowfileopfunc.h"

// Unpacks a gzip file; a file that is not gzip-compressed is copied unchanged. An existing destination is
// replaced; on any failure no destination is left behind.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    bool run() override;

    static bool unzipFile(const QString &destination, const QString &source);
};
