#include "update/inidownloadtaskspecification.h"

#include "app/configuration.h"
#include "net/checksignaturetaskspecification.h"
#include "net/downloadtaskspecification.h"
#include "net/releasemanifest.h"
#include "update/manifestchecktaskspecification.h"

#include <QFile>

#ifdef MURMELO_REQUIRE_MANIFEST
const bool IniDownloadTaskSpecification::ManifestRequiredByBuild = true;
#else
const bool IniDownloadTaskSpecification::ManifestRequiredByBuild = false;
#endif

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager *manager,
                                                           Mirrors *mirrors,
                                                           Configuration *configuration,
                                                           QObject *parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void IniDownloadTaskSpecification::setMaxFailedChecks(int limit)
{
    maxFailedChecks = limit;
}

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString iniName = configuration->clientType + QStringLiteral(".ini");
    const QString sigName = iniName + QStringLiteral(".sig");
    const QString localIni = configuration->tempDir + QLatin1Char('/') + iniName;
    const QString localSig = configuration->tempDir + QLatin1Char('/') + sigName;
    // Three thirds, the check taking what the skipped downloads leave.
    double checkWeight = 1.0;
    if (failedChecks > 0 || !QFile::exists(localIni)) {
        auto download = new DownloadTaskSpecification(manager, mirrors, iniName, localIni, -1, this, 0.3333);
        download->setSizeLimit(MaxProductIniSize);
        addSubTask(download);
        checkWeight = 0.6667;
    }
    if (failedChecks > 0 || !QFile::exists(localSig)) {
        auto download = new DownloadTaskSpecification(manager, mirrors, sigName, localSig, -1, this, 0.3333);
        download->setSizeLimit(MaxSignatureSize);
        addSubTask(download);
        checkWeight -= 0.3333;
    }
    auto check = new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone,
            this, &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);
    if (manifestTarget) {
        // Weightless: the phase's progress stays as it is for releases without a manifest.
        const QString manifestName = ReleaseManifest::fileName(configuration->clientType);
        auto download = new DownloadTaskSpecification(manager, mirrors, manifestName,
                                                      configuration->tempDir + QLatin1Char('/') + manifestName, -1,
                                                      this, 0.0);
        download->setSizeLimit(ReleaseManifest::MaxBytes);
        download->setNotFoundMeansAbsent(manifestRequired);
        addSubTask(download);
        addSubTask(new ManifestCheckTaskSpecification(configuration, manifestRequired, *manifestTarget, this, 0.0));
    }
    state = StateRunning;
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task)
{
    Q_UNUSED(task);
    if (pass)
        return;
    if (++failedChecks > maxFailedChecks) {
        emit message(QStringLiteral("Could not verify the product ini file. Aborting"));
        errorCancel();
        return;
    }
    // The attempt counter survives: only reset() from outside starts counting again.
    if (resetForRetryAfterFailedCheck(QStringLiteral("Could not verify the product ini file. Retrying")))
        makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    failedChecks = 0;
    TaskSpecification::reset();
}
