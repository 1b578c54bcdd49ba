#include "update/updateinidata.h"

#include "app/configuration.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {
const QString currentGroup = QStringLiteral("current");
const QString versionKey = QStringLiteral("version");
const QString dirKey = QStringLiteral("dir");
const QString typeKey = QStringLiteral("type");
} // namespace

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).filePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int *version, QString *type, QString *dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(currentGroup);
    bool versionOk = false;
    const int recordedVersion = settings.value(versionKey).toInt(&versionOk);
    const QString recordedDir = settings.value(dirKey).toString();
    const QString recordedType = settings.value(typeKey).toString();
    if (!versionOk || recordedType.isEmpty() || recordedDir.isEmpty() || !QFileInfo::exists(recordedDir))
        return false;
    if (version)
        *version = recordedVersion;
    if (type)
        *type = recordedType;
    if (dir)
        *dir = recordedDir;
    return true;
}

QString UpdateIniData::recordedDir()
{
    QSettings settings(filename(), QSettings::IniFormat);
    return settings.value(currentGroup + QLatin1Char('/') + dirKey).toString();
}

void UpdateIniData::modify(int version, const QString &dir, const QString &type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(currentGroup);
    settings.setValue(versionKey, version);
    settings.setValue(dirKey, dir);
    settings.setValue(typeKey, type);
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(currentGroup);
}
