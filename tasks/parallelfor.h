#pragma once

#include <QtGlobal>

#include <functional>

// Runs job(0) ... job(count - 1) on the calling thread and on every idle thread of the global pool, and
// returns when all have run. The jobs may run in any order and at the same time: each must touch only
// its own data. Called from a pool thread, it takes no thread that another task waits for: helpers join
// only when a pool thread is free, and the calling thread works through what they leave.
void parallelFor(qsizetype count, const std::function<void(qsizetype index)> &job);
