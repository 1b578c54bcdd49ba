#include "net/downloadfiletaskspecification.h"

#include "app/configuration.h"
#include "net/checksignaturetaskspecification.h"
#include "net/deltadownloadtaskspecification.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "tasks/blockmap.h"

#include <QFile>
#include <QFileInfo>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(
        const FileDownloadSpecification &file, QNetworkAccessManager *manager, Mirrors *mirrors,
        Configuration *configuration, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , remoteDir(file.remoteDir)
    , fileName(file.fileName)
    , md5(file.md5)
    , size(file.size)
    , sha256(file.sha256)
    , compressed(file.compressed)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
    , listedOnDisk(file.onDisk)
    , travel(travelFrom(listedOnDisk >= 0 ? listedOnDisk : sizeOnDisk()))
{
    releaseSubTasksWhenFinished = true;
}

qint64 DownloadFileTaskSpecification::sizeOnDisk() const
{
    return QFileInfo(configuration->tempDir + QLatin1Char('/') + fileName).size();
}

quint64 DownloadFileTaskSpecification::travelFrom(qint64 onDisk) const
{
    // A partial copy in the temporary directory is continued, not fetched again.
    return quint64(onDisk) < size ? size - quint64(onDisk) : size;
}

void DownloadFileTaskSpecification::setTravel(quint64 bytes)
{
    if (bytes == travel)
        return;
    const qint64 change = qint64(bytes) - qint64(travel);
    travel = bytes;
    emit travelChanged(change);
}

void DownloadFileTaskSpecification::execute()
{
    if (!startDelta())
        makeSubtasksAndStart();
}

bool DownloadFileTaskSpecification::startDelta()
{
    const QString localPath = configuration->tempDir + QLatin1Char('/') + fileName;
    const QString installedPath = Configuration::getAppRootPath() + QLatin1Char('/') + fileName;
    // A partial file from an earlier attempt is continued rather than rebuilt from blocks.
    if (deltaTried || compressed || size < quint64(BlockMap::DefaultThreshold) || !QFileInfo(installedPath).isFile()
        || QFileInfo::exists(localPath)) {
        return false;
    }
    deltaTried = true;
    // Whatever the delta leaves behind is looked at anew.
    listedOnDisk = -1;
    delta = new DeltaDownloadTaskSpecification(manager, mirrors, remoteDir + QLatin1Char('/') + fileName,
                                               installedPath, localPath, size, md5, this, 1.0);
    delta->setExpectedSha256(sha256);
    connect(delta, &TaskSpecification::finished, this, &DownloadFileTaskSpecification::onDeltaFinished);
    connect(delta, &DeltaDownloadTaskSpecification::transferPlanned, this, &DownloadFileTaskSpecification::setTravel);
    addSubTask(delta);
    executeSubTasks();
    return true;
}

void DownloadFileTaskSpecification::onDeltaFinished()
{
    if (delta->isComplete())
        return;
    // The map travelled in vain, and the file travels whole after it.
    setTravel(quint64(delta->getMapBytes()) + size);
    delta = nullptr;
    if (resetForRetryAfterFailedCheck(QStringLiteral("Downloading %1 whole").arg(fileName)))
        makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString localPath = configuration->tempDir + QLatin1Char('/') + fileName;
    // An empty, zero or non-numeric size in the product ini all read as 0: not known, not "empty".
    currentDownload = new DownloadTaskSpecification(manager, mirrors,
                                                    remoteDir + QLatin1Char('/') + fileName,
                                                    localPath, size > 0 ? qint64(size) : -1, this, 0.8);
    if (size == 0)
        currentDownload->setSizeLimit(MaxUnsizedFileSize);
    // Without a size from the signed ini the rest of a file is unknown, and so is whether a reply fits.
    currentDownload->setResume(size > 0 && !wholeOnly);
    currentDownload->setSizeOnDisk(listedOnDisk);
    listedOnDisk = -1;
    if (!sha256.isEmpty())
        currentDownload->setDigestSums(FileDigest::Md5AndSha256);
    addSubTask(currentDownload);
    auto check = new CheckSignatureTaskSpecification(localPath, md5, false, this, 0.2);
    check->setExpectedSha256(sha256);
    // The download hashed the bytes as they arrived; the check compares that sum with the expected one.
    // Connected after addSubTask(): the check is started only through the event loop, after this.
    connect(currentDownload, &TaskSpecification::finished, check,
            [check, download = currentDownload] { check->setKnownDigest(download->getReceivedDigest()); });
    connect(check, &CheckSignatureTaskSpecification::checkDone,
            this, &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);
    state = StateRunning;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task)
{
    Q_UNUSED(task);
    if (pass)
        return;
    QString text = QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(fileName);
    if (currentDownload->wasContinued()) {
        // Its bytes came from more than one reply (maybe of other mirrors, or another release's file):
        // which one was wrong is a guess, and no mirror is dropped on a guess.
        QFile::remove(configuration->tempDir + QLatin1Char('/') + fileName);
        wholeOnly = true;
        setTravel(size);
        text = QStringLiteral("md5 sum for %1 failed on a continued download, fetching it whole").arg(fileName);
    } else {
        mirrors->removeMirror(currentDownload->getMirror().name);
    }
    currentDownload = nullptr;
    if (resetForRetryAfterFailedCheck(text))
        makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    currentDownload = nullptr;
    wholeOnly = false;
    delta = nullptr;
    deltaTried = false;
    listedOnDisk = -1;
    setTravel(travelFrom(sizeOnDisk()));
    TaskSpecification::reset();
}
