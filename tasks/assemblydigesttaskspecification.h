#pragma once

#include "tasks/assemblydigestfunc.h"
#include "tasks/asynctaskspecification.h"

#include <memory>

// Takes the digest of a delta update's new file on the thread pool (AssemblyDigestFunc) while its ranges
// are still being fetched, and while its plan is still being decided: it goes through the file in its
// order as far as the plan and the ranges in place allow, and on as planned() and rangeArrived() report
// more. No worker ever waits for a range, so a delta that waits for the
// network holds no pool thread. A digest that cannot be taken is no failure of the run: the task finishes
// all the same, and isDigested() tells the owner to fetch the file whole instead; so does abandon(). A
// cancel ends the task once its worker is back.
class AssemblyDigestTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // fetched: the ranges of the new file that its owner puts in place, in file order; the assembly's copies
    // and these cover the new file up to decidedUpTo.
    AssemblyDigestTaskSpecification(const BlockCopyFunc::Assembly &assembly, const QList<DeltaPlan::Range> &fetched,
                                    qint64 decidedUpTo, QObject *parent, double parentProgressRange);

    void execute() override;
    void reset() override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // More of the plan: copies and fetched ranges that include the ones before, in the same order.
    void planned(const QList<DeltaPlan::Copy> &copies, const QList<DeltaPlan::Range> &fetched, qint64 decidedUpTo);
    // The fetched range with this index is in place, whole (also before the start).
    void rangeArrived(qsizetype index);
    // The file will not be complete: the task ends as soon as no worker of it runs, not digested.
    void abandon();

    bool isDigested() const { return digested; }
    // Of the whole new file, once digested.
    const FileDigest &getDigest() const { return digest; }

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool res) override;

private:
    // Starts the next worker when there is something for it; ends the task when nothing is left.
    void goOn();
    // Where the plan ends or the first range that is not in place yet begins: the digest may go that far.
    qint64 readyUpTo() const;

    BlockCopyFunc::Assembly assembly;
    QList<DeltaPlan::Range> fetched;
    QList<bool> arrived; // per fetched range
    qint64 decided;
    std::unique_ptr<FileDigest::Stream> stream; // written only by the running worker
    AssemblyDigestFunc::Stretch stretch;        // of the running worker
    bool workerRunning = false;
    qint64 hashed = 0; // the digest covers [0, hashed)
    bool abandoned = false;
    bool cancelledByOther = false;
    bool digested = false;
    FileDigest digest;
};
