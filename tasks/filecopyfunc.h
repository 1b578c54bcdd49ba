#pragma once

#include "tasks/slowfileopfunc.h"

// Fails when the destination exists: the installation moves an old file aside first.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    bool run() override;
};
