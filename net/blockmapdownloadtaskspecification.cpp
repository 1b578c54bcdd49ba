#include "net/blockmapdownloadtaskspecification.h"

#include "net/mirrors.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

BlockMapDownloadTaskSpecification::BlockMapDownloadTaskSpecification(QNetworkAccessManager *manager,
                                                                     Mirrors *mirrors, const QString &filePath,
                                                                     const FileDigest &file, QObject *parent,
                                                                     double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , manager(manager)
    , mirrors(mirrors)
    , remotePath(BlockMap::pathFor(filePath))
    , file(file)
{
}

qint64 BlockMapDownloadTaskSpecification::maxMapSize(quint64 fileSize)
{
    const quint64 smallestBlocks = (fileSize + BlockMap::MinBlockSize - 1) / BlockMap::MinBlockSize;
    return BlockMap::HeaderSize + qint64(qMin(smallestBlocks, quint64(BlockMap::MaxBlocks))) * BlockMap::EntrySize;
}

void BlockMapDownloadTaskSpecification::execute()
{
    state = StateRunning;
    start();
}

void BlockMapDownloadTaskSpecification::start()
{
    switch (mirrors->getRandomMirror(mirror)) {
    case Mirrors::NoMirrorAvailable:
        noMap(QStringLiteral("no mirror left"));
        return;
    case Mirrors::AllMirrorsBusy:
        // Queued: the request that ended must have given its slot back before this task draws again.
        connect(manager, &QNetworkAccessManager::finished, this,
                &BlockMapDownloadTaskSpecification::onOtherDownloadFinished, Qt::QueuedConnection);
        return;
    default:
        slotHeld = true;
        break;
    }
    QNetworkRequest request(QUrl(mirror.url + QLatin1Char('/') + remotePath));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    reply = manager->get(request);
    reply->setReadBufferSize(64 * 1024);
    connect(reply, &QNetworkReply::readyRead, this, &BlockMapDownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &BlockMapDownloadTaskSpecification::onFinished);
}

void BlockMapDownloadTaskSpecification::onOtherDownloadFinished()
{
    disconnect(manager, &QNetworkAccessManager::finished, this,
               &BlockMapDownloadTaskSpecification::onOtherDownloadFinished);
    if (state == StateRunning && !reply)
        start();
}

void BlockMapDownloadTaskSpecification::onReadyRead()
{
    idleTicks = 0;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        noMap(QStringLiteral("the mirror answered %1").arg(status.toInt()));
        return;
    }
    const qint64 limit = maxMapSize(file.size);
    const QByteArray chunk = reply->read(limit + 1 - data.size());
    data.append(chunk);
    if (data.size() > limit)
        noMap(QStringLiteral("it is larger than a block map of the file can be"));
}

void BlockMapDownloadTaskSpecification::onFinished()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (reply->error() != QNetworkReply::NoError || (status.isValid() && status.toInt() != 200)) {
        noMap(status.isValid() ? QStringLiteral("the mirror answered %1").arg(status.toInt()) : reply->errorString());
        return;
    }
    onReadyRead();
    if (!reply)
        return;
    stop();
    auto parsed = std::make_shared<BlockMap>();
    QString why;
    if (!BlockMap::parse(data, *parsed, why)) {
        noMap(QStringLiteral("it %1").arg(why));
        return;
    }
    if (!parsed->describes(file)) {
        noMap(QStringLiteral("it describes another file"));
        return;
    }
    map = std::move(parsed);
    finish();
}

void BlockMapDownloadTaskSpecification::noMap(const QString &why)
{
    stop();
    map.reset();
    emit message(QStringLiteral("No usable block map %1 on mirror %2: %3").arg(remotePath, mirror.name, why));
    finish();
}

void BlockMapDownloadTaskSpecification::stop()
{
    disconnect(manager, &QNetworkAccessManager::finished, this,
               &BlockMapDownloadTaskSpecification::onOtherDownloadFinished);
    if (reply) {
        reply->disconnect(this);
        // Aborted rather than merely deleted, so that the manager reports it finished to those waiting for
        // its slot.
        reply->abort();
        reply->deleteLater();
        reply = nullptr;
    }
    if (slotHeld) {
        mirrors->releaseMirror(mirror.name);
        slotHeld = false;
    }
}

void BlockMapDownloadTaskSpecification::reset()
{
    stop();
    data.clear();
    map.reset();
    lastReceived = 0;
    idleTicks = 0;
    TaskSpecification::reset();
}

void BlockMapDownloadTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                                 bool &downloading)
{
    downloadDone = quint64(data.size());
    downloadTotal = quint64(data.size());
    speed = quint64(data.size() - lastReceived);
    lastReceived = data.size();
    if (state != StateRunning || !reply)
        return;
    if (++idleTicks > mirror.timeoutTicks) {
        noMap(QStringLiteral("timed out"));
        return;
    }
    downloading = true;
}

void BlockMapDownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != StateRunning)
        return;
    stop();
    userCancel();
}

void BlockMapDownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
    stop();
    errorCancel();
}
