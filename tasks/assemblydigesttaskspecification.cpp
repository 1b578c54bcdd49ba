#include "tasks/assemblydigesttaskspecification.h"

AssemblyDigestTaskSpecification::AssemblyDigestTaskSpecification(const BlockCopyFunc::Assembly &assembly,
                                                                 const QList<DeltaPlan::Range> &fetched,
                                                                 qint64 decidedUpTo, QObject *parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , assembly(assembly)
    , fetched(fetched)
    , arrived(fetched.size(), false)
    , decided(decidedUpTo)
{
}

void AssemblyDigestTaskSpecification::execute()
{
    stream = std::make_unique<FileDigest::Stream>(assembly.sums);
    hashed = 0;
    abandoned = false;
    cancelledByOther = false;
    digested = false;
    digest = FileDigest();
    // The first worker runs even with nothing ready, so that the task is running and ends through goOn().
    stretch = {0, readyUpTo()};
    workerRunning = true;
    ASyncTaskSpecification::execute();
}

ASyncFunc *AssemblyDigestTaskSpecification::createFunction()
{
    return new AssemblyDigestFunc(assembly, stretch, *stream);
}

qint64 AssemblyDigestTaskSpecification::readyUpTo() const
{
    const qsizetype missing = arrived.indexOf(false);
    return qMin(decided, missing < 0 ? assembly.size : fetched.at(missing).offset);
}

void AssemblyDigestTaskSpecification::planned(const QList<DeltaPlan::Copy> &copies,
                                              const QList<DeltaPlan::Range> &fetched, qint64 decidedUpTo)
{
    // A running worker keeps the plan it was given, which covers its stretch.
    assembly.copies = copies;
    this->fetched = fetched;
    arrived.resize(fetched.size(), false);
    decided = decidedUpTo;
    if (state == StateRunning && !workerRunning)
        goOn();
}

void AssemblyDigestTaskSpecification::rangeArrived(qsizetype index)
{
    if (index < 0 || index >= arrived.size())
        return;
    arrived[index] = true;
    if (state == StateRunning && !workerRunning)
        goOn();
}

void AssemblyDigestTaskSpecification::abandon()
{
    if (state != StateRunning)
        return;
    abandoned = true;
    if (!workerRunning)
        goOn();
}

void AssemblyDigestTaskSpecification::userCanceled()
{
    ASyncTaskSpecification::userCanceled();
    if (state == StateRunning && !workerRunning)
        goOn();
}

void AssemblyDigestTaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
    cancelledByOther = true;
    if (!workerRunning)
        goOn();
}

void AssemblyDigestTaskSpecification::runDone(bool res)
{
    workerRunning = false;
    if (state != StateRunning)
        return;
    if (!res) {
        // The worker said why; the owner fetches the file whole.
        ASyncTaskSpecification::runDone(true);
        return;
    }
    hashed = stretch.to;
    goOn();
}

void AssemblyDigestTaskSpecification::goOn()
{
    if (cancelRequested) {
        userCancel();
        return;
    }
    if (cancelledByOther) {
        errorCancel();
        return;
    }
    if (abandoned) {
        ASyncTaskSpecification::runDone(true);
        return;
    }
    if (hashed == assembly.size) {
        digest = stream->result();
        digested = true;
        ASyncTaskSpecification::runDone(true);
        return;
    }
    const qint64 ready = readyUpTo();
    if (ready == hashed)
        return; // the next range that arrives goes on
    stretch = {hashed, ready};
    workerRunning = true;
    ASyncTaskSpecification::execute();
}

void AssemblyDigestTaskSpecification::reset()
{
    ASyncTaskSpecification::reset();
    workerRunning = false;
    arrived.fill(false);
    stream.reset();
    digested = false;
    digest = FileDigest();
}
