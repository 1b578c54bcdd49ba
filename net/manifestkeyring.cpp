#include "net/manifestkeyring.h"

#include <QtGlobal>

ManifestKeyring ManifestKeyring::builtIn()
{
    ManifestKeyring ring;
    const unsigned char *next = builtInData;
    for (int i = 0; i < builtInCount; ++i) {
        ManifestKey key;
        const QByteArray der(reinterpret_cast<const char *>(next), qsizetype(builtInLengths[i]));
        // The build checked every key; one that fails here is a build fault, not a reason to trust less.
        const QString why = ManifestKey::fromDer(der, key);
        if (why.isEmpty())
            ring.add(key);
        else
            qWarning("built-in manifest key %d is unusable: %s", i, qPrintable(why));
        next += builtInLengths[i];
    }
    return ring;
}

void ManifestKeyring::add(const ManifestKey &key)
{
    if (!isRetired(key.id()) && !find(key.id()))
        keys << key;
}

void ManifestKeyring::retire(const QString &id)
{
    retired << id;
    keys.removeIf([&id](const ManifestKey &key) { return key.id() == id; });
}

const ManifestKey *ManifestKeyring::find(const QString &id) const
{
    for (const ManifestKey &key : keys) {
        if (key.id() == id)
            return &key;
    }
    return nullptr;
}

QStringList ManifestKeyring::ids() const
{
    QStringList list;
    for (const ManifestKey &key : keys)
        list << key.id();
    return list;
}

QStringList ManifestKeyring::retiredIds() const
{
    QStringList list(retired.cbegin(), retired.cend());
    list.sort();
    return list;
}
