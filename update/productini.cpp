#include "update/productini.h"

#include "update/filereplacespecification.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>

namespace {
const QString deleteSection = QStringLiteral("delete");
const QString separator = QStringLiteral("::");

bool isMd5(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    return hex.match(text).hasMatch();
}

bool parseSize(const QString &text, quint64 &size)
{
    static const QRegularExpression decimal(QStringLiteral("^[0-9]+$"));
    bool ok = false;
    size = text.toULongLong(&ok);
    return ok && decimal.match(text).hasMatch();
}

bool entryLess(const ProductIni::Entry &a, const ProductIni::Entry &b)
{
    return a.section != b.section ? a.section < b.section : a.key < b.key;
}
} // namespace

bool ProductIni::Line::isDelete() const
{
    return section == deleteSection;
}

QList<ProductIni::Line> ProductIni::lines(QSettings &settings)
{
    QList<Line> lines;
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys) {
            Line line{section, key, {}};
            // An unquoted comma makes the value a list, whose string is empty: one field, an invalid line.
            if (!line.isDelete())
                line.fields = settings.value(key).toString().split(separator);
            lines << line;
        }
        settings.endGroup();
    }
    return lines;
}

QString ProductIni::Entry::installedPath() const
{
    return FileReplaceSpecification(section, key, unzipped.md5, unzipped.size, unzipName).pureDestFilePath();
}

QString ProductIni::Entry::value() const
{
    QStringList fields{file.md5, QString::number(file.size)};
    if (isCompressed())
        fields << unzipped.md5 << QString::number(unzipped.size) << unzipName;
    return fields.join(separator);
}

bool ProductIni::Entry::operator==(const Entry &other) const
{
    return section == other.section && key == other.key && value() == other.value();
}

bool ProductIni::read(const QString &path, ProductIni &ini, QStringList &errors)
{
    const int errorsBefore = errors.size();
    if (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable()) {
        errors << QStringLiteral("%1 is missing or unreadable").arg(path);
        return false;
    }
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        errors << QStringLiteral("%1 is not a readable INI file").arg(path);
        return false;
    }
    ini.entries.clear();
    ini.deletePaths.clear();
    const QList<Line> lines = ProductIni::lines(settings);
    for (const Line &line : lines) {
        if (line.isDelete()) {
            ini.deletePaths << line.key;
            continue;
        }
        const QString where = QStringLiteral("%1: [%2] %3").arg(path, line.section, line.key);
        const QStringList &fields = line.fields;
        if (!line.hasValidFieldCount()) {
            errors << QStringLiteral("%1: the value has %2 \"::\"-separated fields; the updater accepts 2 or 5")
                              .arg(where)
                              .arg(fields.size());
            continue;
        }
        // Stricter than the updater, which takes what toULongLong() makes of a size: a release is refused
        // before it reaches a mirror rather than half-understood by the installations.
        Entry entry{line.section, line.key, FileDigest(fields.at(0), 0), FileDigest(), QString()};
        bool valid = isMd5(fields.at(0)) && parseSize(fields.at(1), entry.file.size);
        if (fields.size() == 5 && !fields.at(4).isEmpty()) {
            entry.unzipName = fields.at(4);
            entry.unzipped.md5 = fields.at(2);
            valid = valid && isMd5(fields.at(2)) && parseSize(fields.at(3), entry.unzipped.size);
        }
        if (!valid) {
            errors << QStringLiteral("%1: an MD5 sum is not 32 hex digits or a size is not a decimal number")
                              .arg(where);
            continue;
        }
        ini.entries << entry;
    }
    return errors.size() == errorsBefore;
}

bool ProductIni::write(const QString &path, QString &error) const
{
    // QSettings merges into an existing file.
    if (QFileInfo::exists(path) && !QFile::remove(path)) {
        error = QStringLiteral("cannot replace %1").arg(path);
        return false;
    }
    {
        QSettings settings(path, QSettings::IniFormat);
        for (const Entry &entry : entries) {
            settings.beginGroup(entry.section);
            settings.setValue(entry.key, entry.value());
            settings.endGroup();
        }
        settings.beginGroup(deleteSection);
        for (const QString &deletePath : deletePaths)
            settings.setValue(deletePath, QString());
        settings.endGroup();
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            error = QStringLiteral("cannot write %1").arg(path);
            return false;
        }
    }

    ProductIni written;
    QStringList errors;
    if (!read(path, written, errors)) {
        error = QStringLiteral("%1 does not read back as written: %2").arg(path, errors.join(QStringLiteral("; ")));
        return false;
    }
    QList<Entry> expected = entries;
    std::sort(expected.begin(), expected.end(), entryLess);
    std::sort(written.entries.begin(), written.entries.end(), entryLess);
    QStringList expectedDeletes = deletePaths;
    expectedDeletes.sort();
    written.deletePaths.sort();
    for (const Entry &entry : std::as_const(expected)) {
        if (!written.entries.contains(entry)) {
            error = QStringLiteral("%1 does not read back [%2] %3 as written").arg(path, entry.section, entry.key);
            return false;
        }
    }
    if (written.entries.size() != expected.size() || written.deletePaths != expectedDeletes) {
        error = QStringLiteral("%1 does not read back as written").arg(path);
        return false;
    }
    return true;
}

QStringList ProductIni::installedPaths() const
{
    QStringList paths;
    for (const Entry &entry : entries)
        paths << entry.installedPath();
    return paths;
}
