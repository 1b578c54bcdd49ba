#pragma once

#include <QObject>
#include <QTemporaryDir>
#include <QUrl>

class ChildProcess;

// A private nginx serving one directory on an ephemeral loopback port: a real HTTP mirror for tests.
// Its configuration, pid file, logs and temporary files live in a temporary directory of its own;
// it runs as one foreground process, a child of the test, and stops with this object.
class NginxServer : public QObject
{
    Q_OBJECT

public:
    explicit NginxServer(const QString &documentRoot, QObject *parent = nullptr);
    ~NginxServer() override;

    static QString program();

    // Limits each response to `bytesPerSecond` (0: no limit), so that a download can be caught
    // while it runs; applies from the next start().
    void setRateLimit(qint64 bytesPerSecond) { rateLimit = bytesPerSecond; }

    // Starts nginx and waits until it accepts connections. False when it did not come up (see
    // errorString()).
    bool start();
    void stop();
    bool isRunning() const;

    quint16 port() const { return serverPort; }
    // "http://127.0.0.1:<port>", the base URL of the document root.
    QUrl url() const;
    // The requests served so far, one "METHOD path status bytes" line each, in order. Every request
    // whose response the caller has received in full is listed.
    QStringList requests() const;
    QString errorString() const { return lastError; }

private:
    bool startOnPort(quint16 port, bool *portTaken);
    bool writeConfig(quint16 port);
    void waitForLog() const;
    QString path(const QString &name) const { return directory.filePath(name); }

    QString documentRoot;
    QTemporaryDir directory;
    ChildProcess *process;
    qint64 rateLimit = 0;
    quint16 serverPort = 0;
    QString lastError;
};
