#pragma once

#include "tasks/composedtaskspecification.h"
#include "net/filedownloadspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches one listed file into the temporary directory and checks its MD5 sum. A copy that fails
// the check costs the mirror that served it its place, and the file is fetched again elsewhere,
// until no mirror is left.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const FileDownloadSpecification &file,
                                  QNetworkAccessManager *manager, Mirrors *mirrors,
                                  Configuration *configuration, QObject *parent,
                                  double parentProgressRange);

    void execute() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    void makeSubtasksAndStart();

    QString remoteDir;
    QString fileName;
    QString md5;
    quint64 size;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    DownloadTaskSpecification *currentDownload = nullptr;
};
