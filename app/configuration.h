#pragma once

#include "app/updatechannel.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

class VersionQueryRetry;

// The application shell below the window: Configuration (command line, update.ini, temporary
// directory), UpdateChannel, the latest-version query in UpdateChecker, whose Retry/Abort question goes
// through VersionQueryRetry to whoever can ask a user, and ProcessTools for starting the client. None of
// it needs widgets; SingleInstanceChecker is a library of its own, since it alone needs the network module.
//
// Settings of one updater run: what to install, from which channel, and where to put the downloads.
// The entry point owns it (no Qt parent) for the whole program; parseCommandLineOptions() fills it once,
// the update engine's constructor adds the proxy and stream settings, and each run start picks tempDir.
// Unrecoverable problems are reported through fatalError(), which ends the program.
class Configuration : public QObject
{
    Q_OBJECT

public:
    explicit Configuration(QObject *parent = nullptr);

    // Asked after each failed latest-version query; without one, a failed query is abandoned at once.
    void setVersionQueryRetry(VersionQueryRetry *retry);

    int autoStart = 0;
    UpdateChannel channel = Stable;
    QString clientType;
    int clientVersion = 0;
    QString versionName;
    QString news;
    QString tempDir;
    QString proxy;
    int downloadStreams = 0;

    static QString getAppRootPath();
    static QString getUpdateType();
    static QString getClientBinaryName();
    static QStringList getSpecialFileNames();
    static const QString &getSpecialFileRenamePrefix();
    static bool isSpecialFileName(const QString &name);
    // Host of the update server: [update] server in update.ini, else the name built into the program.
    static QString getUpdateServerName();
    // Tests point the installation at a temporary directory; an empty path restores the default.
    static void setAppRootPathForTesting(const QString &path);

    bool parseCommandLineOptions();
    bool parseCommandLineOptions(const QStringList &arguments);
    void getUpdateChannel();
    bool getClientTypeVersion(const QStringList &arguments, int position);
    bool getClientVersionFromString(const QString &text, const QString &errorFormat);
    bool getDefaultParameters();
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString &news);
    void getProxyAndDownloadConcurrency();
    bool initalizeStart(const QString &tempDir);
    bool createTempDir();
    // True for a directory createTempDir() could have made: the only kind a run reuses or empties.
    static bool isOwnTempDir(const QString &path);

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    VersionQueryRetry *versionQueryRetry = nullptr; // not owned
};
