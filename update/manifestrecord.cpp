#include "update/manifestrecord.h"

#include "update/updateinidata.h"

#include <QSettings>

namespace {
const QString versionKey = QStringLiteral("manifest/highestVersion");
const QString retiredKey = QStringLiteral("manifest/retiredKeys");
} // namespace

quint64 ManifestRecord::highestAcceptedVersion()
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    return settings.value(versionKey).toULongLong();
}

QStringList ManifestRecord::retiredKeys()
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    return settings.value(retiredKey).toStringList();
}

void ManifestRecord::store(quint64 version, const QStringList &retired)
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    // The floor only rises: a run of a lower version cannot have been accepted, but the record may have
    // been written by a newer updater in the meantime.
    if (version > settings.value(versionKey).toULongLong())
        settings.setValue(versionKey, QString::number(version));
    QStringList all = settings.value(retiredKey).toStringList() + retired;
    all.removeDuplicates();
    all.sort();
    if (!all.isEmpty())
        settings.setValue(retiredKey, all);
}
