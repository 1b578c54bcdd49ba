#pragma once

#include "tasks/composedtaskspecification.h"
#include "net/filedownloadspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The download phase of a run: creates the directories the listed files need in the temporary
// directory, then fetches every file with its own DownloadFileTaskSpecification, at most
// downloadStreams at once. The list is the main task's and is read when the phase starts.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification> *fileList,
                                      QNetworkAccessManager *manager, Mirrors *mirrors,
                                      Configuration *configuration, QObject *parent,
                                      double parentProgressRange);

    void execute() override;
    void reset() override;
    // The display's total is the whole list from the first tick on, not only what has started.
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;

private:
    void makeSubtasksAndStart();
    bool makeSubDirs();

    QList<FileDownloadSpecification> *fileList;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    quint64 totalSize = 0;
};
