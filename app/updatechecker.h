#pragma once

#include "app/updatechannel.h"

#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>

// Asks the update server for the newest version of each channel and for the news text: two blocking
// request/reply exchanges of single UDP datagrams, made before the window exists. Retrying is the caller's
// business.
class UpdateChecker
{
public:
    explicit UpdateChecker(const QString &serverName);

    bool checkUpdate();
    bool readFromServer();
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;

    // Tests answer on an ephemeral port of 127.0.0.1; 0 restores the standard port.
    static void setPortForTesting(quint16 port);

    // The text of one reply datagram: Latin-1 up to the first zero byte.
    static QString replyText(QByteArrayView datagram);
    // The version reply: "number#name" entries separated by ",", in channel order; an entry without "#"
    // has no name.
    static QList<QPair<QString, QString>> parseVersionList(const QString &versions);

    // (version number text, version name) per entry of the server's list; the position is the channel.
    QList<QPair<QString, QString>> versionList;
    QString newsText;

private:
    QString serverName;
};
