#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: the running one listens on a local socket named after its
// executable and the user's home, and a later start hands it a short message there instead of running.
// The main window owns the listening side and lives as long as it; the static check needs no object.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstanceChecker(QObject *parent);
    ~SingleInstanceChecker() override;

    static bool checkExistingInstance(const QString &message);
    static QString getLocalServerName();

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer *server;
    QLocalSocket *client = nullptr; // the connection being read; replaced by the next one
};
