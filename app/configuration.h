#pragma once

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// The value doubles as the index of the channel's entry in the update server's version list.
enum UpdateChannel {
    Stable = 0, // neither of the others
    Beta = 1,   // [Channel] beta is true and alpha is empty
    Alpha = 2   // [Channel] alpha names the alpha mirror
};

// Settings of one updater run: what to install, from which channel, and where to put the downloads.
// The entry point owns it (no Qt parent) for the whole program; parseCommandLineOptions() fills it once,
// the update engine's constructor adds the proxy and stream settings, and each run start picks tempDir.
// Unrecoverable problems are reported through fatalError(), which ends the program.
class Configuration : public QObject
{
    Q_OBJECT

public:
    explicit Configuration(QObject *parent = nullptr);

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
};
