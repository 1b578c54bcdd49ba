#pragma once

#include <QRunnable>

class ASyncFunc;

// Hands a worker to the thread pool; the pool deletes the runnable after run(), and with it the worker.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;
    void run() override;

private:
    ASyncFunc *func;
};
