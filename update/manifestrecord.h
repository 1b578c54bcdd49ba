#pragma once

#include <QStringList>

// What this installation has learnt from the release manifests it accepted: the highest version (no
// manifest of a lower one is accepted again, so an older signed release cannot be served as the newest)
// and the manifest keys that rotation statements retired. Group "manifest" of update.ini; written only
// after a run that accepted a manifest has installed its release, so a failed run raises nothing.
class ManifestRecord
{
public:
    static quint64 highestAcceptedVersion();
    static QStringList retiredKeys();
    static void store(quint64 version, const QStringList &retired);
};
