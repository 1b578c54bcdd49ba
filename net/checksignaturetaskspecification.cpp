#include "net/checksignaturetaskspecification.h"

#include "net/checksigfunc.h"

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString filePath, QString expectedMd5,
                                                                 bool cancelOnFailure, QObject *parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange),
      filePath(std::move(filePath)),
      expectedMd5(std::move(expectedMd5)),
      cancelOnFailure(cancelOnFailure)
{
}

ASyncFunc *CheckSignatureTaskSpecification::createFunction()
{
    auto function = new CheckSigFunc(filePath, expectedMd5, knownDigest);
    function->setExpectedSha256(expectedSha256);
    return function;
}

void CheckSignatureTaskSpecification::reset()
{
    knownDigest = FileDigest();
    ASyncTaskSpecification::reset();
}

void CheckSignatureTaskSpecification::runDone(bool pass)
{
    if (state != StateRunning)
        return;
    if (!pass)
        emit message(QStringLiteral("Signature check failed for %1").arg(filePath));
    // Before the end: a listener may reset the task here, and the base then leaves it alone.
    emit checkDone(pass, this);
    ASyncTaskSpecification::runDone(pass || !cancelOnFailure);
}
