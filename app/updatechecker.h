#pragma once

#include "app/updatechannel.h"

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

    // (version number text, version name) per entry of the server's list; the position is the channel.
    QList<QPair<QString, QString>> versionList;
    QString newsText;

private:
    QString serverName;
};
