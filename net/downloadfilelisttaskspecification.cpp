#include "net/downloadfilelisttaskspecification.h"

#include "app/configuration.h"
#include "net/downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
        QList<FileDownloadSpecification> *fileList, QNetworkAccessManager *manager, Mirrors *mirrors,
        Configuration *configuration, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(configuration->downloadStreams, parentProgressRange, parent)
    , fileList(fileList)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
    // The installation that follows builds one task per file as well; the downloads' tasks make room.
    releaseSubTasksWhenFinished = true;
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (fileList->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;
    emit message(QStringLiteral("Downloading files"));
    const double weight = 1.0 / fileList->size();
    for (const FileDownloadSpecification &file : std::as_const(*fileList)) {
        auto task = new DownloadFileTaskSpecification(file, manager, mirrors, configuration, this, weight);
        // What travels, as the files learn it (a delta of a big file is much less than its size).
        totalSize += task->getTravel();
        connect(task, &DownloadFileTaskSpecification::travelChanged, this,
                [this](qint64 change) { totalSize = quint64(qint64(totalSize) + change); });
        addSubTask(task);
    }
    state = StateRunning;
    executeSubTasks();
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    QSet<QString> done{QStringLiteral(".")};
    const QDir tempDir(configuration->tempDir);
    for (const FileDownloadSpecification &file : std::as_const(*fileList)) {
        const QString dir = QFileInfo(file.fileName).path();
        if (done.contains(dir))
            continue;
        if (!tempDir.mkpath(dir)) {
            emit message(QStringLiteral("Could not create dir %1")
                                 .arg(tempDir.canonicalPath() + QLatin1Char('/') + dir));
            errorCancel();
            return false;
        }
        done.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    totalSize = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                                 quint64 &speed, bool &downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    downloadTotal = totalSize;
}
