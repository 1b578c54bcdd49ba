#include "support/childprocess.h"

#include <csignal>
#include <sys/prctl.h>

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
{
    setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

ChildProcess::~ChildProcess()
{
    stop();
}

void ChildProcess::stop()
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(5000)) {
        kill();
        waitForFinished(5000);
    }
}
