#pragma once

#include "tasks/asyncfunc.h"

class SyncFileSystemFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit SyncFileSystemFunc(const QString &directory) : directory(directory) {}
    bool run() override;

private:
    const QString directory;
};
