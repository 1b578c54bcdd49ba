#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// What the update server announces, read from its configuration file.
//
// Every reply is built here once, in the bytes that go on the wire. A file whose replies would not
// fit the clients' receive buffers, or would be split differently than written, is refused as a
// whole, so a running server never sends a malformed or oversized reply.
class UpdateServerConfig
{
public:
    // The newest release of one update channel; version 0 leaves the channel's place empty.
    struct Release
    {
        int version = 0;
        QString name;
    };

    // The clients' receive buffers: bytes beyond these are lost on their side.
    static constexpr int MaxVersionReplySize = 511;
    static constexpr int MaxNewsReplySize = 4095;
    static constexpr int MaxBannerReplySize = 1024;

    bool load(const QString &fileName, QString *errorMessage);
    bool parse(const QByteArray &contents, const QString &fileName, QString *errorMessage);

    QByteArray versionReply() const { return versionBytes; }
    QByteArray newsReply() const { return newsBytes; }
    // Empty when the file names no banner: banner requests then stay unanswered.
    QByteArray bannerReply() const { return bannerBytes; }

    // The version list in channel order (stable, beta, alpha): "version#name" entries joined by ",",
    // an empty entry for a channel without a release, trailing empty entries left out.
    static QByteArray versionList(const QList<Release> &releases);

private:
    QByteArray versionBytes;
    QByteArray newsBytes;
    QByteArray bannerBytes;
};
