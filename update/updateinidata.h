#pragma once

#include <QString>

// The record of an unfinished update run: group "current" of update.ini in the installation directory.
// Each call opens the file anew; other groups of the file are left alone.
class UpdateIniData
{
public:
    static QString filename();
    // Outputs are written only when the record is valid; a null output is skipped.
    static bool get(int *version, QString *type, QString *dir);
    // The directory the record names, whether or not the record is valid; "" without one.
    static QString recordedDir();
    static void modify(int version, const QString &dir, const QString &type);
    static void cleanup();
};
