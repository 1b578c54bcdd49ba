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
