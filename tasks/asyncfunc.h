#pragma once

#include <QObject>

// The part of an asynchronous task that runs on a pool thread. It is created without a parent on the main
// thread and then used and destroyed only on the pool thread (ASyncRun owns it), unless it is quick. It
// never calls its task; everything goes out through the signals, which the task receives queued.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    virtual bool run() = 0;
    // Work that is over sooner than a trip to the pool and back (a comparison of known sums) runs on the
    // task's own thread instead; its reports then arrive directly, in the same order.
    virtual bool isQuick() const { return false; }
    void execute();

signals:
    // To the main thread:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    void progress(qreal progress); // own completed share, 0.0 to 1.0
};
