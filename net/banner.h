#pragma once

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QHostAddress>
#include <QObject>

class QHostInfo;
class QUdpSocket;

// Asks the update server which news banner to show: a two-byte UDP request, repeated once when no
// answer came within the retry interval, answered by one datagram "imageUrl,clickUrl". Best effort:
// any failure only means that bannerFound() never comes. A Banner serves one lookup and stays with its
// parent (the update engine) until that goes away; a new lookup takes a new Banner.
class Banner : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 DefaultPort = 2009;
    static constexpr int DefaultRetryInterval = 5000; // ms
    static constexpr int MaxAnswerSize = 1024;

    explicit Banner(QObject *parent);

    void run();
    void sendRequest();

    // Tests answer on an ephemeral port (the host comes from update.ini, see Configuration) and cannot
    // wait five seconds for the repeat; 0 restores the standard value.
    static void setPortForTesting(quint16 port);
    static void setRetryIntervalForTesting(int milliseconds);

    // The answer "imageUrl,clickUrl"; false, leaving the outputs alone, for anything else.
    static bool parseAnswer(const QByteArray &answer, QString &bannerUrl, QString &clickUrl);

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onResolved(const QHostInfo &hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    QUdpSocket *socket;
    QBasicTimer timer;
    QHostAddress serverAddress;
    int tries = 0;
    QString serverName;
    quint16 serverPort;
    int retryInterval;
};
