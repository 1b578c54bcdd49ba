#include "tasks/emptyfilecreator.h"

#include "tasks/asyncfunc.h"
#include "tasks/asyncrun.h"

#include <QFile>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {
// Per path: the worker moves it from Free to Creating to Created, its task from Free to Claimed.
enum PathState { Free, Creating, Created, Claimed };
}

struct EmptyFileCreator::Shared
{
    explicit Shared(const QStringList &paths) : states(size_t(paths.size()))
    {
        encoded.reserve(size_t(paths.size()));
        for (const QString &path : paths)
            encoded.push_back(QFile::encodeName(path));
        for (std::atomic<int> &state : states)
            state.store(Free, std::memory_order_relaxed);
    }

    std::vector<QByteArray> encoded;
    std::vector<std::atomic<int>> states;
    std::atomic<bool> stopped{false};
};

namespace {

class EmptyFileCreateFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit EmptyFileCreateFunc(std::shared_ptr<EmptyFileCreator::Shared> shared) : shared(std::move(shared)) {}

    bool run() override
    {
        for (size_t i = 0; i < shared->encoded.size() && !shared->stopped.load(std::memory_order_relaxed); ++i) {
            int expected = Free;
            if (!shared->states[i].compare_exchange_strong(expected, Creating, std::memory_order_acq_rel))
                continue;
            // O_EXCL: whatever is there already, a partial download above all, stays untouched.
            const int fd = ::open(shared->encoded[i].constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0)
                ::close(fd);
            shared->states[i].store(Created, std::memory_order_release);
        }
        return true;
    }

private:
    const std::shared_ptr<EmptyFileCreator::Shared> shared;
};

} // namespace

EmptyFileCreator::EmptyFileCreator(QObject *parent) : QObject(parent)
{
}

EmptyFileCreator::~EmptyFileCreator()
{
    if (shared)
        shared->stopped = true;
}

void EmptyFileCreator::start(const QStringList &paths)
{
    stop();
    shared = std::make_shared<Shared>(paths);
    auto *func = new EmptyFileCreateFunc(shared);
    // The end of a worker of an earlier start() says nothing about this one's.
    connect(func, &ASyncFunc::runResult, this, [this, started = ++generation] {
        if (started == generation)
            onWorkerDone();
    }, Qt::QueuedConnection);
    running = true;
    QThreadPool::globalInstance()->start(new ASyncRun(func));
}

void EmptyFileCreator::claim(int index)
{
    if (!shared || index < 0 || size_t(index) >= shared->states.size())
        return;
    std::atomic<int> &state = shared->states[size_t(index)];
    int expected = Free;
    if (state.compare_exchange_strong(expected, Claimed, std::memory_order_acq_rel))
        return;
    // The worker is at this very file: one open() call.
    while (state.load(std::memory_order_acquire) == Creating)
        QThread::yieldCurrentThread();
}

void EmptyFileCreator::stop()
{
    if (shared)
        shared->stopped = true;
}

void EmptyFileCreator::onWorkerDone()
{
    running = false;
    emit finished();
}

#include "emptyfilecreator.moc"
