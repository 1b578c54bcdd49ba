#include "net/downloadfilelisttaskspecification.h"

#include "app/configuration.h"
#include "net/downloadfiletaskspecification.h"
#include "tasks/blockmap.h"
#include "tasks/emptyfilecreator.h"

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
    , fileCreator(new EmptyFileCreator(this))
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
    QStringList createdAhead;
    for (const FileDownloadSpecification &file : std::as_const(*fileList)) {
        auto task = new DownloadFileTaskSpecification(file, manager, mirrors, configuration, this, weight);
        // What travels, as the files learn it (a delta of a big file is much less than its size).
        totalSize += task->getTravel();
        connect(task, &DownloadFileTaskSpecification::travelChanged, this,
                [this](qint64 change) { totalSize = quint64(qint64(totalSize) + change); });
        addSubTask(task);
        // Small files only: for them the making of the file weighs; a large one may be built from blocks
        // of the installed file, which a local file, even an empty one, would rule out.
        const QFileInfo local(configuration->tempDir + QLatin1Char('/') + file.fileName);
        if (file.size > 0 && file.size < quint64(BlockMap::DefaultThreshold) && !local.exists()) {
            task->setCreatedAhead(fileCreator, int(createdAhead.size()));
            createdAhead.append(local.filePath());
        }
    }
    if (!createdAhead.isEmpty())
        fileCreator->start(createdAhead);
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

void DownloadFileListTaskSpecification::subtasksDone()
{
    fileCreator->stop();
    if (fileCreator->isRunning()) {
        connect(fileCreator, &EmptyFileCreator::finished, this, &DownloadFileListTaskSpecification::onFilesCreatedAhead,
                Qt::SingleShotConnection);
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}

void DownloadFileListTaskSpecification::onFilesCreatedAhead()
{
    if (state == StateRunning)
        ComposedTaskSpecification::subtasksDone();
}

void DownloadFileListTaskSpecification::reset()
{
    fileCreator->stop();
    disconnect(fileCreator, nullptr, this, nullptr);
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
