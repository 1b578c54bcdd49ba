#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: the running one listens on a local socket named after its
// executable and the user's home, and a later start hands it a short message there instead of running.
// The main window owns the listening side and lives as long as it; the static check needs no object.
// The socket lies in a directory only this user can write (see socketDirectory()): in the shared
// temporary directory another user could listen under every possible name and take the hand-over.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstanceChecker(QObject *parent);
    ~SingleInstanceChecker() override;

    static bool checkExistingInstance(const QString &message);
    static QString getLocalServerName();
    // XDG_RUNTIME_DIR when it is a directory of this user that nobody else may enter, else
    // "murmelo-update-<uid>" of mode 0700 in the temporary path, made if missing. "" when neither is
    // private: then no instance listens or is looked for, and each start runs on its own.
    static QString socketDirectory();
    // The socket's full path, or "" (see socketDirectory()).
    static QString socketPath();

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer *server;
    QLocalSocket *client = nullptr; // the connection being read; replaced by the next one
};
