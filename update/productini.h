#pragma once

#include "tasks/filedigest.h"

#include <QList>
#include <QStringList>

class QSettings;

// The signed description of one client type's release: file sections named after their mirror directory,
// each key a file with "md5::size" or, for a gzip-compressed file, "md5::size::unzip-md5::unzip-size::
// unzip-name", and a section "delete" with obsolete installed paths. lines() is the one reader of that
// layout: the updater's list compiler and the publisher's reader and verifier all go through it. Writing
// goes through QSettings as well, so that the updater reads back exactly what was meant.
class ProductIni
{
public:
    // One key of the file, as read.
    struct Line
    {
        QString section;
        QString key;
        QStringList fields; // the value split at "::"; empty in the delete section, whose values mean nothing

        bool isDelete() const;
        // Two fields for a plain file, five for a compressed one; anything else is an invalid line.
        bool hasValidFieldCount() const { return fields.size() == 2 || fields.size() == 5; }
    };

    // Every key in the order of the sections as QSettings lists them, the delete section among them.
    static QList<Line> lines(QSettings &settings);

    struct Entry
    {
        QString section; // mirror directory below the version directory
        QString key;     // path below the section, and in the updater's temporary directory
        FileDigest file; // as it lies on the mirror
        FileDigest unzipped;
        QString unzipName; // installed path of the decompressed content; empty when not compressed

        bool isCompressed() const { return !unzipName.isEmpty(); }
        // Where the updater puts the file, relative to the installation directory.
        QString installedPath() const;
        QString value() const;
        bool operator==(const Entry &other) const;
    };

    // Collects one line per problem (invalid value, unreadable file) into errors; false if there is any.
    static bool read(const QString &path, ProductIni &ini, QStringList &errors);
    // Replaces the file, then reads it back and fails unless it yields the same entries.
    bool write(const QString &path, QString &error) const;

    QStringList installedPaths() const;

    QList<Entry> entries;
    QStringList deletePaths;
};
