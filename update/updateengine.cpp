#include "update/updateengine.h"

#include "app/configuration.h"
#include "net/banner.h"
#include "net/crypt.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"
#include "update/maintaskspecification.h"
#include "update/manifestrecord.h"
#include "update/updateinidata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

namespace {
const QString MirrorsIniName = QStringLiteral("mirrors.ini");
const QString UpdateIniName = QStringLiteral("update.ini");
}

UpdateEngine::UpdateEngine(Configuration &configuration, QObject *parent)
    : QObject(parent)
    , configuration(&configuration)
    , timer(new QTimer(this))
    , manager(new HttpAccessManager(this))
{
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    // A redirect is a wrong answer of a mirror, not something to follow.
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    setUpProxy();
}

void UpdateEngine::setUpProxy()
{
    configuration->getProxyAndDownloadConcurrency();
    const QString &proxy = configuration->proxy;
    if (proxy.isEmpty()) {
        manager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    // "host:port" without a scheme parses as a valid URL with no host; such a proxy would make
    // every download fail without saying why, so it counts as invalid.
    const QUrl url(proxy);
    if (!url.isValid() || url.host().isEmpty()) {
        constructionError = QStringLiteral("'%1' is an invalid proxy specification").arg(proxy);
        emit fatalError(constructionError);
        return;
    }
    manager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, url.host(),
                                    quint16(url.port(DefaultProxyPort))));
}

QString UpdateEngine::pendingFatalError() const
{
    return constructionError;
}

bool UpdateEngine::initialize()
{
    if (!constructionError.isEmpty()) {
        emit fatalError(constructionError);
        return false;
    }
    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }
    const QDir root(Configuration::getAppRootPath());
    if (!root.exists(MirrorsIniName)) {
        emit fatalError(QStringLiteral("%1 is missing, cannot proceed.").arg(MirrorsIniName));
        return false;
    }
    // Checked before anything is fetched or recorded: a read-only installation (a read-only mount stops
    // root as well) could take none of it, and the run would only end in a rollback.
    if (::access(QFile::encodeName(root.absolutePath()).constData(), W_OK) != 0) {
        emit fatalError(QStringLiteral("The installation directory %1 is not writable; the update cannot be "
                                       "installed.").arg(root.absolutePath()));
        return false;
    }
    // The mirror choice is seeded from the clock by each new Mirrors below, once per run.

    int version = 0;
    QString type;
    QString dir;
    const QString recordedDir = UpdateIniData::recordedDir();
    if (!recordedDir.isEmpty() && !QFileInfo::exists(recordedDir)) {
        // Typically the temporary path was cleared at a reboot; the record names nothing any more.
        emit message(QStringLiteral("Recorded session directory %1 is gone; starting a new session")
                             .arg(recordedDir));
        UpdateIniData::cleanup();
    } else if (UpdateIniData::get(&version, &type, &dir)) {
        if (!Configuration::isOwnTempDir(dir)) {
            emit message(QStringLiteral("Ignoring recorded session directory %1: not made by the "
                                        "updater").arg(dir));
            UpdateIniData::cleanup();
            dir.clear();
        } else if (version == configuration->clientVersion) {
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                                 .arg(version).arg(dir));
            emit message(removeTempDir(dir) ? QStringLiteral("Ok")
                                            : QStringLiteral("Failed to remove directory"));
            dir.clear();
            UpdateIniData::cleanup();
        }
    }
    if (!configuration->initalizeStart(dir))
        return false;
    UpdateIniData::modify(configuration->clientVersion, configuration->tempDir,
                          configuration->clientType);

    // A fresh list per run: use and error counts of an earlier run must not carry over.
    if (mirrors)
        mirrors->deleteLater();
    mirrors = new Mirrors(this);
    // Before loading: a missing alpha URL is reported while the list is read.
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool loaded = configuration->channel == Alpha
            ? mirrors->initAlpha(root.absoluteFilePath(UpdateIniName), configuration->clientVersion)
            : mirrors->initDefault(root.absoluteFilePath(MirrorsIniName),
                                   configuration->clientVersion);
    if (!loaded)
        return false;
    engineState = Initialized;
    return true;
}

bool UpdateEngine::removeTempDir(const QString &dir)
{
    cleanupDirectory(dir);
    const QFileInfo info(QDir::cleanPath(dir));
    return info.dir().rmdir(info.fileName());
}

bool UpdateEngine::startUpdate()
{
    mainTask = new MainTaskSpecification(manager, mirrors, configuration, this, 1.0);
    connect(mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    engineState = Running;
    timer->start(TimerInterval);
    mainTask->execute();
    return true;
}

bool UpdateEngine::busy() const
{
    return engineState == Initialized || engineState == Running;
}

void UpdateEngine::onTimer()
{
    if (engineState != Running || !mainTask)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    mainTask->timeTick(done, total, speed, downloading);
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::cancelUpdate()
{
    if (engineState == Running && mainTask)
        mainTask->userCanceled();
}

void UpdateEngine::onTaskFinished()
{
    timer->stop();
    // Only now, with the release installed: a run that failed must not raise the floor.
    const FileSpecifications &installed = mainTask->specifications();
    if (installed.manifest)
        ManifestRecord::store(installed.manifest->version, installed.retiredManifestKeys);
    cleanup();
    engineState = Finished;
    emit message(QStringLiteral("Update successfully finished"));
    mainTask->deleteLater();
    mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    timer->stop();
    engineState = Canceled;
    if (mainTask->getState() == TaskSpecification::StateUserCanceled)
        emit message(QStringLiteral("User aborted update"));
    mainTask->deleteLater();
    mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::reset()
{
    timer->stop();
    engineState = Idle;
    if (mainTask) {
        disconnect(mainTask, nullptr, this, nullptr);
        mainTask->deleteLater();
        mainTask = nullptr;
    }
}

void UpdateEngine::cleanup()
{
    emit message(QStringLiteral("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir)) {
        if (Configuration::isOwnTempDir(dir))
            removeTempDir(dir);
        UpdateIniData::cleanup();
    }
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::cleanupDirectory(const QString &dir)
{
    // Symbolic links are neither followed nor deleted: a link must never lead the cleanup out of
    // the temporary directory.
    QDir directory(dir);
    const QDir::Filters filters = QDir::Hidden | QDir::System | QDir::NoSymLinks
            | QDir::NoDotAndDotDot;
    const QStringList files = directory.entryList(QDir::Files | filters);
    for (const QString &file : files)
        directory.remove(file);
    const QStringList subdirs = directory.entryList(QDir::Dirs | filters);
    for (const QString &subdir : subdirs) {
        cleanupDirectory(directory.filePath(subdir));
        directory.rmdir(subdir);
    }
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString &name : names)
        QFile::remove(dir + QLatin1Char('/') + Configuration::getSpecialFileRenamePrefix() + name);
}

void UpdateEngine::getBanner()
{
    if (bannerReply)
        return;
    auto banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    const QUrl url(bannerUrl);
    // One image at a time: a second answer must not orphan the download in flight.
    if (!url.isValid() || bannerReply)
        return;
    this->clickUrl = clickUrl;
    bannerReply = manager->get(QNetworkRequest(url));
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged,
            this, &UpdateEngine::onBannermetaDataChanged);
    // Without a Content-Length the header check cannot see the size; count what arrives instead,
    // so that a banner can never fill the memory.
    connect(bannerReply, &QNetworkReply::downloadProgress, this, [this](qint64 received) {
        if (received > MaxBannerSize)
            dropBannerReply();
    });
}

void UpdateEngine::onBannermetaDataChanged()
{
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerSize)
        dropBannerReply();
}

void UpdateEngine::dropBannerReply()
{
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
}

void UpdateEngine::onBannerDownloadFinished()
{
    const QByteArray data = bannerReply->readAll();
    bannerReply->deleteLater();
    bannerReply = nullptr;
    emit bannerFound(data, clickUrl);
}
