#include "support/mirrorsini.h"

#include <QFile>
#include <QSettings>

bool writeMirrorsIni(const QString &path, const QList<QPair<QString, QUrl>> &mirrors)
{
    QFile::remove(path);
    QSettings ini(path, QSettings::IniFormat);
    ini.beginWriteArray(QStringLiteral("mirrors"), int(mirrors.size()));
    for (int i = 0; i < mirrors.size(); ++i) {
        ini.setArrayIndex(i);
        ini.setValue(QStringLiteral("mirror"), mirrors.at(i).first);
    }
    ini.endArray();
    for (const auto &mirror : mirrors)
        ini.setValue(mirror.first + QStringLiteral("/url"), mirror.second.toString());
    ini.sync();
    return ini.status() == QSettings::NoError;
}
