#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <memory>

// Creates empty files on the thread pool ahead of the tasks that will write them: making a new file is
// one of the dearest steps of fetching thousands of small ones, and so the kernel does it on another core
// than the one that runs the event loop, while the downloads before it are still under way. A file
// that already exists is left as it is. Before its task opens a file, the task claims it: from then on
// the worker leaves that file alone, so a file that its task removes again never comes back.
class EmptyFileCreator : public QObject
{
    Q_OBJECT
public:
    explicit EmptyFileCreator(QObject *parent);
    ~EmptyFileCreator() override;

    // The paths in the order in which their tasks will start; the worker creates them in that order.
    void start(const QStringList &paths);
    // On the main thread, with an index into the paths of start(); returns once the worker can no longer
    // touch that path (waiting out a creation of it that is under way).
    void claim(int index);
    // The worker creates nothing more; finished() follows once it has ended.
    void stop();
    bool isRunning() const { return running; }

signals:
    // The worker has ended, all files made or stopped.
    void finished();

public:
    // Between this object and its worker, which may outlive it.
    struct Shared;

private:
    void onWorkerDone();

    std::shared_ptr<Shared> shared;
    quint64 generation = 0;
    bool running = false;
};
