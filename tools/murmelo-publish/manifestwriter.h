#pragma once

#include "update/productini.h"

#include <QDateTime>
#include <QStringList>

class QTextStream;

// Writes the signed release manifest of a product ini: the release's client type, version, channel, expiry
// and every file's SHA-256 and size, with the key rotation statements given. It goes onto the mirror before
// the product ini, so an updater that sees the new ini finds its manifest too.
class ManifestWriter
{
public:
    struct Options
    {
        QString privateKey;
        QString channel;
        qint64 expiresIn = 0; // seconds from now
        QStringList rotationFiles;
    };

    // The key and the statements are checked before anything is written; problems get one line each.
    static bool checkOptions(const Options &options, QStringList &problems);
    static bool write(const Options &options, const QString &versionDir, const QString &clientType,
                      quint64 version, const ProductIni &ini, QTextStream &out, QStringList &problems);
    // "30d", "12h", "90m", "45s" or plain seconds; -1 when the text is none of them.
    static qint64 parseDuration(const QString &text);
};
