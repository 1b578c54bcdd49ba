#include "app/configuration.h"

#include "app/updatechecker.h"
#include "app/versionqueryretry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString appRootPathOverride;

QString updateIniPath()
{
    return Configuration::getAppRootPath() + QStringLiteral("/update.ini");
}

const QLatin1String TempDirPrefix("murmelo_temp_");

} // namespace

Configuration::Configuration(QObject *parent)
    : QObject(parent)
{
}

void Configuration::setVersionQueryRetry(VersionQueryRetry *retry)
{
    versionQueryRetry = retry;
}

QString Configuration::getAppRootPath()
{
    return appRootPathOverride.isEmpty() ? QCoreApplication::applicationDirPath() : appRootPathOverride;
}

void Configuration::setAppRootPathForTesting(const QString &path)
{
    appRootPathOverride = path;
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_amd64");
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("mx4client_runscript.sh");
}

QStringList Configuration::getSpecialFileNames()
{
    // After the original names, the Qt 6 libraries and plug-ins that scripts/bundle puts beside the
    // updater: the running updater has them mapped, so an update must park them, not overwrite them.
    return {QStringLiteral("update"),      QStringLiteral("libQtCore.so.4"),
            QStringLiteral("libQtGui.so.4"), QStringLiteral("libQtNetwork.so.4"),
            QStringLiteral("libqgif.so"),  QStringLiteral("libqjpeg.so"),
            QStringLiteral("libqtaccessiblewidgets.so"),
            QStringLiteral("libQt6Core.so.6"), QStringLiteral("libQt6Gui.so.6"),
            QStringLiteral("libQt6Widgets.so.6"), QStringLiteral("libQt6Network.so.6"),
            QStringLiteral("libQt6DBus.so.6"), QStringLiteral("libQt6XcbQpa.so.6"),
            QStringLiteral("libqxcb.so"), QStringLiteral("libqoffscreen.so"), QStringLiteral("libqico.so"),
            QStringLiteral("libqopensslbackend.so"), QStringLiteral("libqcertonlybackend.so"),
            QStringLiteral("libqxcb-glx-integration.so"), QStringLiteral("libqxcb-egl-integration.so")};
}

const QString &Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

bool Configuration::isSpecialFileName(const QString &name)
{
    return getSpecialFileNames().contains(name, Qt::CaseSensitive);
}

QString Configuration::getUpdateServerName()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    const QString server = settings.value(QStringLiteral("update/server")).toString();
    return server.isEmpty() ? QStringLiteral(MURMELO_UPDATE_SERVER) : server;
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &arguments)
{
    // Read first: on the alpha channel the recorded revision decides the version before any argument does.
    getUpdateChannel();
    autoStart = 0;

    const qsizetype count = arguments.size() - 1;
    if (count >= 1 && arguments.at(1) == QLatin1String("--nouser")) {
        if (count >= 3 && !getClientTypeVersion(arguments, 2))
            return false;
        if (count >= 4 && arguments.at(4) != QLatin1String("#"))
            versionName = arguments.at(4);
        if (count >= 5)
            news = arguments.at(5);
        if (!getDefaultParameters())
            return false;
        autoStart = 1;
        return true;
    }
    if (count == 2)
        return getClientTypeVersion(arguments, 1);
    return getDefaultParameters();
}

void Configuration::getUpdateChannel()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!alpha.isEmpty()) {
        channel = Alpha;
        clientVersion = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    } else {
        channel = beta ? Beta : Stable;
        clientVersion = 0;
    }
}

bool Configuration::getClientTypeVersion(const QStringList &arguments, int position)
{
    if (position >= arguments.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    clientType = arguments.at(position);
    if (position + 1 >= arguments.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return getClientVersionFromString(arguments.at(position + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString &text, const QString &errorFormat)
{
    if (clientVersion != 0)
        return true;
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (ok)
        return true;
    emit fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::getDefaultParameters()
{
    if (clientType.isEmpty())
        clientType = getUpdateType();
    if (clientVersion != 0)
        return true;

    const QPair<QString, QString> latest = getLatestClientVersion(channel, news);
    if (latest.first.isEmpty())
        return false;
    if (!getClientVersionFromString(latest.first,
                                    QObject::tr("Update server returned invalid version nr (%1)")))
        return false;
    versionName = latest.second;
    return true;
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel, QString &news)
{
    UpdateChecker checker(getUpdateServerName());
    while (!checker.checkUpdate()) {
        if (!versionQueryRetry || !versionQueryRetry->retryVersionQuery())
            return {};
    }
    news = checker.newsText;
    return checker.getClientVersionByChannel(channel);
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy")).toString();
    downloadStreams = settings.value(QStringLiteral("streams"), 6).toInt();
    if (downloadStreams < 1)
        downloadStreams = 6;
}

bool Configuration::initalizeStart(const QString &tempDir)
{
    if (isOwnTempDir(tempDir)) {
        this->tempDir = tempDir;
        return true;
    }
    return createTempDir();
}

// The session record in update.ini names the directory, and anyone who may write the installation can
// edit it; anyone can place entries under the shared temporary path. So a directory is reused or emptied
// only when this updater could have made it: a real directory (a symbolic link could swap our downloads
// or lead a cleanup into the user's files), owned by us, named like createTempDir() names them.
bool Configuration::isOwnTempDir(const QString &path)
{
    const QString cleanPath = QDir::cleanPath(path);
    if (!QFileInfo(cleanPath).fileName().startsWith(TempDirPrefix))
        return false;
    struct stat status;
    if (::lstat(QFile::encodeName(cleanPath).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid();
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += TempDirPrefix;

    // One mkdir per candidate and no existence check before it: the check and the creation would leave a
    // window in which another user could plant the directory in the shared temporary path.
    for (int i = 0; i < 1000; ++i) {
        const QString candidate = base + QString::number(i);
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0) {
            tempDir = candidate;
            return true;
        }
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}
