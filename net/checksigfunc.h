#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/filedigest.h"

#include <QByteArray>
#include <QString>

// The pool side of CheckSignatureTaskSpecification: checks one file's MD5 sum, or, without an expected
// sum, the RSA signature in the file's path + ".sig" against the built-in key.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // known: the file's digest as taken while it was written; when it has a sum, the file is not read again.
    CheckSigFunc(QString filePath, QString expectedMd5, FileDigest known = FileDigest());

    // With an expected SHA-256 (from a release manifest) the file must match both sums, taken in one pass.
    void setExpectedSha256(const QString &sha256) { expectedSha256 = sha256; }

    bool run() override;
    bool isQuick() const override;

private:
    bool readFile(const QString &path, QByteArray &buffer);
    bool checkMD5();
    // The sums the check needs were taken while the file was written.
    bool digestKnown() const;
    bool checkRSA();

    QString filePath;
    QString expectedMd5;
    QString expectedSha256;
    FileDigest known;
};
