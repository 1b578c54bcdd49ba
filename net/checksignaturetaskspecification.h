#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/filedigest.h"

// Verifies one file on the thread pool: its MD5 sum when an expected sum is given, otherwise the RSA
// signature in the file's path + ".sig" against the key built into the program. The verdict goes out as
// checkDone before the task ends; a failed check ends with errorCancel() only when cancelOnFailure is set,
// so callers that retry learn the verdict from checkDone alone. The file is never deleted here.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    CheckSignatureTaskSpecification(QString filePath, QString expectedMd5, bool cancelOnFailure,
                                    QObject *parent, double parentProgressRange);

    // The digest of the file as it was written, known to whoever wrote it; the check then compares its sum
    // instead of reading the file. Cleared by reset().
    void setKnownDigest(const FileDigest &digest) { knownDigest = digest; }
    // From a release manifest: the file must match it as well as the MD5 sum.
    void setExpectedSha256(const QString &sha256) { expectedSha256 = sha256; }
    void reset() override;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification *task);

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool pass) override;

private:
    QString filePath;
    QString expectedMd5; // empty: check the RSA signature instead
    QString expectedSha256;
    bool cancelOnFailure;
    FileDigest knownDigest;
};
