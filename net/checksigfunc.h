#pragma once

#include "tasks/asyncfunc.h"

#include <QByteArray>
#include <QString>

// The pool side of CheckSignatureTaskSpecification: checks one file's MD5 sum, or, without an expected
// sum, the RSA signature in the file's path + ".sig" against the built-in key.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    CheckSigFunc(QString filePath, QString expectedMd5);

    bool run() override;

private:
    bool readFile(const QString &path, QByteArray &buffer);
    bool checkMD5();
    bool checkRSA();

    QString filePath;
    QString expectedMd5;
};
