#pragma once

#include "net/manifestkey.h"

#include <QList>
#include <QSet>
#include <QStringList>

// The manifest keys an updater trusts: those built in (CMake variable MURMELO_MANIFEST_KEYS), those that
// signed rotation statements added, less those retired. A retired key stays retired: adding it again does
// nothing.
class ManifestKeyring
{
public:
    static ManifestKeyring builtIn();

    void add(const ManifestKey &key);
    void retire(const QString &id);
    const ManifestKey *find(const QString &id) const;
    bool isRetired(const QString &id) const { return retired.contains(id); }
    QStringList ids() const;
    QStringList retiredIds() const;

private:
    // Written at build time from MURMELO_MANIFEST_KEYS: the DER keys one after another.
    static const unsigned char builtInData[];
    static const unsigned long builtInLengths[];
    static const int builtInCount;

    QList<ManifestKey> keys;
    QSet<QString> retired;
};
