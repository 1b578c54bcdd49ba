#pragma once

#include <QProcess>

// A QProcess that never outlives the test: the kernel kills the program when the test process dies,
// even by a crash or a time-out, and destroying the object stops it (SIGTERM, then SIGKILL).
class ChildProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject *parent = nullptr);
    ~ChildProcess() override;

    // Ends the program and waits for it; returns at once when it is not running.
    void stop();
};
