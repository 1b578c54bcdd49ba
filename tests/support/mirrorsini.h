#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

// Writes an installation's mirrors.ini that lists the given mirrors (name, base URL) in this order;
// false when the file could not be written.
bool writeMirrorsIni(const QString &path, const QList<QPair<QString, QUrl>> &mirrors);
