#pragma once

#include "net/keyrotation.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

class ManifestKey;
class ManifestKeyring;

// The signed description of one release of one client type, published beside its product ini as
// "<client type>.ini.manifest" (a name older updaters never ask for). Text, one item per line, LF only,
// in this order:
//   murmelo-release-manifest 1
//   client-type <type>
//   version <decimal>
//   channel <name>
//   expires <yyyy-MM-ddTHH:mm:ssZ>
//   rotation ...                         zero or more, see KeyRotation
//   file <sha256> <size> <section>/<key>  one per file of the product ini
//   unpacked <sha256> <size> <section>/<key>  after the file line of a gzip-shipped file
//   signature <key id> <hex>             RSASSA-PSS/SHA-256 over every byte before this line
// Parsing is strict: anything else, out of order, repeated or beyond MaxBytes is refused.
class ReleaseManifest
{
public:
    static constexpr qint64 MaxBytes = 8 << 20;
    static QString fileName(const QString &clientType) { return clientType + QStringLiteral(".ini.manifest"); }

    struct File
    {
        QString sha256;
        quint64 size = 0;
        bool compressed = false;
        QString unpackedSha256;
        quint64 unpackedSize = 0;
    };

    // What the run installs, against which the manifest is checked.
    struct Expectation
    {
        QString clientType;
        quint64 version = 0;
        QString channel;
        QDateTime now;
        quint64 highestAccepted = 0; // 0: none accepted before
    };

    // Empty on success, else the first reason the text is no manifest.
    static QString parse(const QByteArray &text, ReleaseManifest &manifest);
    // Signs what the fields say; text() then holds the whole manifest.
    void sign(const ManifestKey &key);
    QByteArray text() const { return signedPart + signatureLine(); }

    // Applies the rotation statements to the ring in their order, then checks the signature against it.
    QString verify(ManifestKeyring &ring) const;
    // Empty when the manifest describes the expected release and is still fresh.
    QString refusal(const Expectation &expected) const;

    QString clientType;
    quint64 version = 0;
    QString channel;
    QDateTime expires;
    QList<KeyRotation> rotations;
    QMap<QString, File> files; // "<section>/<key>"
    QString signerId;
    QByteArray signature;

    static QString formatTime(const QDateTime &time);

private:
    QByteArray body() const;
    QByteArray signatureLine() const;

    QByteArray signedPart;
};
