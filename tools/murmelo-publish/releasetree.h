#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// The files of a release directory as they will be published: every regular file below it with its
// installed path, and whether it goes onto the mirror gzip-compressed. Names that the updater could not
// carry, links to directories, special files and unreadable ones are refused, each with one problem line.
class ReleaseTree
{
public:
    struct SourceFile
    {
        QString path;     // absolute, in the release directory
        QString relative; // installed path
        bool compress;
    };

    // patterns: a pattern with "/" matches the relative path, otherwise the file name; gzipAbove: compress
    // files larger than this many bytes, no threshold when negative.
    ReleaseTree(const QStringList &patterns, qint64 gzipAbove);

    // Adds one problem line per pattern that cannot be used; false if there is any.
    bool compilePatterns(QStringList &problems);
    // Reads the release directory (resolvedDir: the same, absolute and without links, as walked; releaseDir
    // as the user named it); section is the mirror directory the files will lie in. False, with the
    // problems added, unless every file can be published.
    bool read(const QString &releaseDir, const QString &resolvedDir, const QString &section, QStringList &problems);
    // Where a file lies on the mirror below the section: compressed files gain ".gz".
    static QString mirrorKey(const SourceFile &file);

    QList<SourceFile> files; // sorted by installed path

private:
    void readDirectory(const QByteArray &path, const QString &relative, QStringList &problems);
    bool isSelectedForGzip(const QString &relative, qint64 size) const;

    QStringList patterns;
    qint64 gzipAbove;
    QList<QRegularExpression> expressions; // compiled patterns, same order
};
