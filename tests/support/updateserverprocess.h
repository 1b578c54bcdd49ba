#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTemporaryDir>

class ChildProcess;

// The built reference update server (murmelo-updated), run for one test with a configuration file of
// its own in a temporary directory; destroying the object stops the server.
class UpdateServerProcess : public QObject
{
    Q_OBJECT

public:
    explicit UpdateServerProcess(QObject *parent = nullptr);
    ~UpdateServerProcess() override;

    static QString program();

    // Writes `config` and starts the server on `address` with `extraArguments`, waiting until it
    // listens; port 0 lets it pick a free port. False when it did not come up (see errorString()).
    bool start(const QByteArray &config, const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
               quint16 versionPort = 0, quint16 bannerPort = 0, const QStringList &extraArguments = {});
    // The updater asks on the fixed ports 17384 and 2009; so that tests can run side by side, this
    // puts the server on them at a random address of 127.0.0.0/8 (all of it is loopback on Linux).
    // Runs an installed copy of the server on its own configuration file, on ephemeral ports.
    bool startInstalled(const QString &installedProgram, const QString &installedConfigFile,
                        const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    bool startOnStandardPorts(const QByteArray &config);
    // Rewrites the configuration and sends SIGHUP; true once the server reports that it reloaded,
    // false when it kept the previous configuration (errorString() has its reason).
    bool reload(const QByteArray &config);
    void stop();

    QHostAddress address() const { return serverAddress; }
    quint16 versionPort() const { return serverVersionPort; }
    quint16 bannerPort() const { return serverBannerPort; }
    QString configFile() const;
    // Why start() or reload() failed, with the server's own messages.
    QString errorString() const { return lastError; }

private:
    bool writeConfig(const QByteArray &config);
    bool launch(const QString &serverProgram, const QString &serverConfigFile, const QHostAddress &address,
                quint16 versionPort, quint16 bannerPort, const QStringList &extraArguments);
    QString readErrorOutput();

    QTemporaryDir directory;
    ChildProcess *process;
    QString errorOutput;
    QHostAddress serverAddress;
    quint16 serverVersionPort = 0;
    quint16 serverBannerPort = 0;
    QString lastError;
};
