#include "tasks/parallelfor.h"

#include <QSemaphore>
#include <QThreadPool>

#include <atomic>

void parallelFor(qsizetype count, const std::function<void(qsizetype index)> &job)
{
    std::atomic<qsizetype> next{0};
    const auto work = [&next, count, &job] {
        for (qsizetype index = next++; index < count; index = next++)
            job(index);
    };
    QThreadPool *pool = QThreadPool::globalInstance();
    QSemaphore helpersDone;
    int helpers = 0;
    for (int i = 1; i < pool->maxThreadCount() && i < count; ++i) {
        if (!pool->tryStart([&work, &helpersDone] {
                work();
                helpersDone.release();
            }))
            break;
        ++helpers;
    }
    work();
    helpersDone.acquire(helpers);
}
