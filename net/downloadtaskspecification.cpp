#include "net/downloadtaskspecification.h"

#include "net/downloaddigest.h"
#include "net/mirrors.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                                     const QString &remotePath, const QString &localPath,
                                                     qint64 expectedSize, QObject *parent,
                                                     double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , manager(manager)
    , mirrors(mirrors)
    , remotePath(remotePath)
    , file(localPath)
    , expectedSize(expectedSize)
    , initialExpectedSize(expectedSize)
    , digest(new DownloadDigest(this))
{
    connect(digest, &DownloadDigest::drained, this, &DownloadTaskSpecification::onDigestDrained);
    connect(digest, &DownloadDigest::finished, this, &DownloadTaskSpecification::onDigestFinished);
}

void DownloadTaskSpecification::setNotFoundMeansAbsent(bool askEveryMirror)
{
    notFoundMeans = askEveryMirror ? NotFound::AbsentOnEveryMirror : NotFound::AbsentAtFirst;
}

void DownloadTaskSpecification::setDigestSums(FileDigest::Sums sums)
{
    digest->setSums(sums);
}

void DownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Downloading %1").arg(remotePath));
    state = StateRunning;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    // Also when the mirrors that were still to be asked have failed meanwhile: the rest lack the file.
    const QVector<FTPSiteAccessData> &listed = mirrors->getMirrorList();
    if (!lacking.isEmpty() && std::all_of(listed.cbegin(), listed.cend(), [this](const FTPSiteAccessData &other) {
            return lacking.contains(other.name);
        })) {
        absent = true;
        finish();
        return;
    }
    switch (mirrors->getRandomMirror(mirror, lacking)) {
    case Mirrors::NoMirrorAvailable:
        if (optional) {
            absent = true;
            finish();
        } else {
            errorCancel();
        }
        return;
    case Mirrors::AllMirrorsBusy:
        // Queued: the request that ended must have given its slot back before this task draws again.
        connect(manager, &QNetworkAccessManager::finished, this,
                &DownloadTaskSpecification::onOtherDownloadFinished, Qt::QueuedConnection);
        return;
    default:
        slotHeld = true;
        break;
    }

    prepareAttempt();
    if (!openFile()) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(file.fileName()));
        releaseSlot();
        errorCancel();
        return;
    }

    QNetworkRequest request(QUrl(mirror.url + QLatin1Char('/') + remotePath));
    // A redirect is a wrong answer of this mirror, not a hint to try another server.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (isRangeRequest()) {
        // The rest of a file is asked for open-ended, as every server knows it; the answer must still name
        // the expected size.
        const QByteArray last = resume ? QByteArray() : QByteArray::number(rangeOffset + rangeLength - 1);
        request.setRawHeader("Range", "bytes=" + QByteArray::number(rangeOffset) + '-' + last);
        // The offsets are of the file's own bytes; a compressed answer would not have them there.
        request.setRawHeader("Accept-Encoding", "identity");
    }
    reply = manager->get(request);
    if (!reply) {
        emit error(QStringLiteral("Download failed to initialize"));
        releaseSlot();
        errorCancel();
        return;
    }
    reply->setReadBufferSize(ReadBufferSize);
    if (resume && rangeOffset > 0)
        digest->restartWithPrefix(file.fileName(), rangeOffset);
    else
        digest->restart(fetchLength());
    if (!reply->isRunning()) {
        errorRetry(reply->errorString());
        return;
    }
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

// A resumed download asks for what is missing of the partial file; a file of the full size or more is
// no prefix (it failed its check, or belongs to another release) and is fetched anew.
void DownloadTaskSpecification::prepareAttempt()
{
    if (!resume)
        return;
    const qint64 onDisk = knownSizeOnDisk >= 0 ? knownSizeOnDisk : QFileInfo(file.fileName()).size();
    knownSizeOnDisk = -1;
    const bool prefix = expectedSize > 0 && onDisk > 0 && onDisk < expectedSize;
    rangeOffset = prefix ? onDisk : 0;
    rangeLength = prefix ? expectedSize - onDisk : -1;
}

bool DownloadTaskSpecification::openFile()
{
    // Unbuffered, so that a full disk shows in the write of the chunk rather than in a close nobody checks.
    if (!isRangeRequest())
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    // Read-write keeps the bytes that are not this task's.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return false;
    if (file.seek(rangeOffset))
        return true;
    file.close();
    return false;
}

void DownloadTaskSpecification::setRange(qint64 offset, qint64 length)
{
    Q_ASSERT(offset >= 0 && length >= 1 && expectedSize >= 0 && offset + length <= expectedSize);
    rangeOffset = offset;
    rangeLength = length;
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply *)
{
    stopWaitingForSlot();
    // A wake-up that was already queued when the task was cancelled or got a request still arrives.
    if (state == StateRunning && !reply)
        startDownload();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A mirror without ranges, or with a different file, is no broken mirror: it still serves whole files.
    if (isRangeRequest() && status.isValid()) {
        const QString url = mirror.url + QLatin1Char('/') + remotePath;
        switch (status.toInt()) {
        case 206:
            if (rangeAnswerFits())
                return;
            if (resume) {
                fetchWholeInstead(QStringLiteral("%1 answered a range with other bytes (%2), fetching %3 whole")
                                          .arg(url, QString::fromLatin1(reply->rawHeader("Content-Range")),
                                               remotePath));
            } else {
                endWithoutRange(RangeResult::NotSatisfiable,
                                QStringLiteral("%1 answered a range with other bytes (%2)")
                                        .arg(url, QString::fromLatin1(reply->rawHeader("Content-Range"))));
            }
            return;
        case 200:
            if (resume) {
                emit message(QStringLiteral("%1 ignores ranges, taking %2 from its first byte").arg(url, remotePath));
                takeWholeReply();
            } else {
                endWithoutRange(RangeResult::Ignored, QStringLiteral("%1 ignores ranges").arg(url));
            }
            return;
        case 416:
            if (resume)
                fetchWholeInstead(QStringLiteral("%1 cannot serve the range, fetching %2 whole").arg(url, remotePath));
            else
                endWithoutRange(RangeResult::NotSatisfiable, QStringLiteral("%1 cannot serve the range").arg(url));
            return;
        default:
            break;
        }
    } else if (!status.isValid() || status.toInt() == 200) {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (sizeLimit >= 0 && length.isValid() && length.toLongLong() > sizeLimit)
            rejectOversized();
        return;
    }
    if (status.toInt() == 404 && notFoundMeans != NotFound::MirrorError) {
        notFound();
        return;
    }
    // A mirror that answers with anything else does not have the release: no second chance.
    dropMirror();
    errorRetry(QStringLiteral("%1 returned %2").arg(mirror.url + QLatin1Char('/') + remotePath).arg(status.toInt()));
}

// "bytes first-last/total" naming exactly the asked bytes of a file of the expected size.
bool DownloadTaskSpecification::rangeAnswerFits() const
{
    const QByteArray value = reply->rawHeader("Content-Range").trimmed();
    if (!value.startsWith("bytes "))
        return false;
    const QByteArray expected = QByteArray::number(rangeOffset) + '-'
            + QByteArray::number(rangeOffset + rangeLength - 1) + '/' + QByteArray::number(expectedSize);
    if (value.mid(6).trimmed() != expected)
        return false;
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return !length.isValid() || length.toLongLong() == rangeLength;
}

void DownloadTaskSpecification::endWithoutRange(RangeResult result, const QString &text)
{
    dropReply();
    file.close();
    releaseSlot();
    emit message(text);
    rangeResult = result;
    finish();
}

// The mirror sends the whole file instead of the rest: its bytes replace the partial file, which is
// then no longer part of the download.
void DownloadTaskSpecification::takeWholeReply()
{
    rangeOffset = 0;
    rangeLength = -1;
    if (!file.resize(0) || !file.seek(0)) {
        failLocally(QStringLiteral("Error writing to file %1: %2").arg(file.fileName(), file.errorString()));
        return;
    }
    digest->restart(expectedSize);
}

// The partial file is not the start of this file: it goes, and the next attempt fetches from byte 0.
void DownloadTaskSpecification::fetchWholeInstead(const QString &text)
{
    resetDownload();
    file.remove();
    emit message(text);
    startDownload();
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

bool DownloadTaskSpecification::readData()
{
    while (reply) {
        idleTicks = 0;
        // The rest waits in the bounded receive buffer, and the mirror for it, until the digest catches up.
        if (digest->isBackedUp())
            return true;
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return true;
        // A fresh chunk each time: the digest may still hold the previous one. Small files need no more than
        // their size (one byte over still shows a mirror sending more).
        QByteArray buffer(fetchLength() >= 0 ? qBound(qint64(1), fetchLength(), ChunkSize) : ChunkSize,
                          Qt::Uninitialized);
        const qint64 count = reply->read(buffer.data(), qMin(available, qint64(buffer.size())));
        if (count < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (count == 0)
            return true;
        // A broken or hostile mirror must not be able to fill the disk.
        if (fetchLength() >= 0 && received + count > fetchLength()) {
            errorRetry((isRangeRequest() ? QStringLiteral("file %1 on mirror %2 sends more than the %3 bytes asked for")
                                         : QStringLiteral("file %1 on mirror %2 is larger than the expected %3 bytes"))
                               .arg(remotePath, mirror.name)
                               .arg(fetchLength()));
            return false;
        }
        if (sizeLimit >= 0 && rangeOffset + received + count > sizeLimit) {
            rejectOversized();
            return false;
        }
        // A file system that is nearly full takes part of a large chunk and reports why only on the next write.
        qint64 written = 0;
        for (qint64 part = 0; written < count; written += part) {
            part = file.write(buffer.constData() + written, count - written);
            if (part <= 0)
                break;
        }
        if (file.error() != QFileDevice::NoError) {
            failLocally(QStringLiteral("Error writing to file %1: %2").arg(file.fileName(), file.errorString()));
            return false;
        }
        if (written < count) {
            failLocally(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                                .arg(file.fileName())
                                .arg(count)
                                .arg(written));
            return false;
        }
        buffer.truncate(count);
        digest->add(buffer);
        received += count;
        if (fetchLength() >= 1)
            setProgress(qMin(1.0, double(received) / double(fetchLength())));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    // A size given at construction comes from the signed product ini and beats the server's word.
    if (bytesTotal > 0 && expectedSize < 0)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            dropMirror();
            reply->close();
        }
        errorRetry(reply->errorString());
        return;
    }
    replyDone = true;
    drainReply();
}

void DownloadTaskSpecification::drainReply()
{
    if (!readData() || !replyDone || !reply || reply->bytesAvailable() > 0)
        return;
    // A whole file's length is for the caller's check; a short range would leave a hole in the file.
    if (isRangeRequest() && received != rangeLength) {
        errorRetry(QStringLiteral("file %1 on mirror %2 ended after %3 of the %4 bytes asked for")
                           .arg(remotePath, mirror.name)
                           .arg(received)
                           .arg(rangeLength));
        return;
    }
    if (isRangeRequest() && !resume)
        rangeResult = RangeResult::Served;
    reply->close();
    reply->deleteLater();
    reply = nullptr;
    file.close();
    // The mirror is free for the next download while the last chunks are hashed.
    releaseSlot();
    digest->finish();
}

void DownloadTaskSpecification::onDigestDrained()
{
    // The pause was this side's, not the mirror's: it must not count towards the mirror's time-out.
    idleTicks = 0;
    if (reply)
        drainReply();
}

void DownloadTaskSpecification::onDigestFinished()
{
    // A cancel while the last chunks were hashed has ended this task already.
    if (state == StateRunning && !reply)
        downloadFinished();
}

FileDigest DownloadTaskSpecification::getReceivedDigest() const
{
    return digest->result();
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(QStringLiteral("Downloading %1 finished").arg(remotePath));
    releaseSlot();
    finish();
}

bool DownloadTaskSpecification::errorRetry(const QString &text)
{
    if (!optional)
        mirrors->addMirrorError(mirror.name);
    resetDownload();
    emit message(text);
    if (optional) {
        absent = true;
        finish();
        return true;
    }
    startDownload();
    return true;
}

void DownloadTaskSpecification::dropMirror()
{
    if (!optional)
        mirrors->removeMirror(mirror.name);
}

void DownloadTaskSpecification::failLocally(const QString &text)
{
    // A full or failing disk is no fault of the mirror: another mirror would meet the same disk, and
    // every mirror would be dropped for it. The partial file goes, which gives its space back (a range
    // task's file is its caller's to remove).
    resetDownload();
    if (resume)
        file.remove();
    emit error(text);
    errorCancel();
}

void DownloadTaskSpecification::notFound()
{
    const QString name = mirror.name;
    lacking.insert(name);
    resetDownload();
    emit message(QStringLiteral("%1 is not on mirror %2").arg(remotePath, name));
    if (notFoundMeans == NotFound::AbsentAtFirst) {
        absent = true;
        finish();
        return;
    }
    startDownload();
}

void DownloadTaskSpecification::rejectOversized()
{
    // The file is never that large: this mirror does not hold the right one.
    const QString text = QStringLiteral("file %1 on mirror %2 is larger than the allowed %3 bytes")
                                 .arg(remotePath, mirror.name)
                                 .arg(sizeLimit);
    dropMirror();
    errorRetry(text);
}

void DownloadTaskSpecification::resetDownload()
{
    releaseSlot();
    mirror.name.clear();
    if (reply)
        dropReply();
    stopWaitingForSlot();
    replyDone = false;
    digest->restart(initialExpectedSize);
    idleTicks = 0;
    // Bytes of a range task's file beyond its range belong to others; those of a resumed one are kept.
    if (file.isOpen()) {
        file.close();
        if (!isRangeRequest() && !resume)
            file.remove();
    }
    rangeResult = RangeResult::NotRequested;
    lastReceived = 0;
    received = 0;
    expectedSize = initialExpectedSize;
    setProgress(0.0);
}

void DownloadTaskSpecification::dropReply()
{
    reply->disconnect(this);
    // The manager reports a request finished only when it ends, by itself or aborted; a request that is
    // merely deleted would leave the downloads that wait for its slot waiting for ever.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->isFinished()) {
        reply->deleteLater();
    } else if (status >= 400 || reply->error() != QNetworkReply::NoError) {
        // Qt fails a request with an error status by itself once its body is in (and one that broke off,
        // at once); aborting it before that would fail it twice, which Qt warns about. An error page is
        // short and comes at once: it is read to its end and thrown away. One that goes on for long, or
        // stalls, is aborted all the same.
        connect(reply, &QNetworkReply::readyRead, reply, [errorReply = reply, skipped = qint64(0)]() mutable {
            skipped += errorReply->skip(errorReply->bytesAvailable());
            if (skipped > MaxErrorPageSize)
                errorReply->abort();
        });
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        QTimer::singleShot(ErrorPageTime, reply, &QNetworkReply::abort);
    } else {
        reply->abort();
        reply->deleteLater();
    }
    reply = nullptr;
}

void DownloadTaskSpecification::releaseSlot()
{
    if (slotHeld) {
        mirrors->releaseMirror(mirror.name);
        slotHeld = false;
    }
}

void DownloadTaskSpecification::stopWaitingForSlot()
{
    disconnect(manager, &QNetworkAccessManager::finished, this,
               &DownloadTaskSpecification::onOtherDownloadFinished);
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    lacking.clear();
    absent = false;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                         bool &downloading)
{
    downloadDone = quint64(received);
    downloadTotal = fetchLength() >= 0 ? quint64(fetchLength()) : 0;
    speed = quint64(received - lastReceived);
    lastReceived = received;

    if (state != StateRunning || !reply)
        return;
    // Reading waits while the digest catches up (with a long prefix on disk first): that pause is this side's.
    if (digest->isBackedUp())
        idleTicks = 0;
    if (++idleTicks > mirror.timeoutTicks) {
        errorRetry(QStringLiteral("file %1 timed out on mirror %2").arg(remotePath, mirror.name));
        return;
    }
    downloading = true;
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != StateRunning)
        return;
    resetDownload();
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
    if (reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(remotePath));
        resetDownload();
    } else {
        // Waiting for a slot: a later wake-up must not start a request for a task that no longer runs.
        stopWaitingForSlot();
    }
    errorCancel();
}
