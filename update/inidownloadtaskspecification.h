#pragma once

#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// First phase of a run: brings the product ini and its ".sig" into the temporary directory and
// verifies the signature. Copies left by an interrupted run are tried first; after a failed check
// both files are fetched again, until the check passes or maxFailedChecks is exceeded.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    static constexpr int MaxFailedChecks = 1000;
    // Nobody gives the size of these two files, so each download is bounded: a product ini of
    // 100 000 entries takes about 10 MB, and a signature is as long as the key's modulus, 512 bytes for
    // the largest key the signing tools make (4096 bits). A mirror that sends more is dropped.
    static constexpr qint64 MaxProductIniSize = 16 << 20;
    static constexpr qint64 MaxSignatureSize = 512;

    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                 Configuration *configuration, QObject *parent,
                                 double parentProgressRange);

    void execute() override;
    void reset() override;

    // Lets tests reach the give-up path without a thousand downloads.
    void setMaxFailedChecks(int limit);

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    int failedChecks = 0;
    int maxFailedChecks = MaxFailedChecks;
};
