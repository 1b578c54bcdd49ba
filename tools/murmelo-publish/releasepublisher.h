#pragma once

#include "update/productini.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

class QFileDevice;
class QSaveFile;
class QTextStream;

// Publishes one client type's release: copies (or gzips) the release directory's files into
// <out>/<version>/<section>/, writes <out>/<version>/<client type>.ini and signs it, then checks the result
// the way the updater will. Nothing is written before every input has been checked; the product ini and
// its signature come last, so an interrupted run leaves no release that updaters would pick up.
class ReleasePublisher
{
public:
    struct Options
    {
        QString releaseDir;
        QString outDir;
        QString version;
        QString clientType;
        QString privateKey;
        QString section = QStringLiteral("release");
        QStringList gzipPatterns; // a pattern with "/" matches the relative path, otherwise the file name
        qint64 gzipAbove = -1;    // compress files larger than this many bytes; negative: no threshold
        QString previousIni;      // its files that the new release lacks go into "delete"
        QString deleteList;       // one installed path per line
        QString changelog;
    };

    ReleasePublisher(const Options &options, QTextStream &out);

    bool publish();
    // One line per problem, each naming the file or argument concerned.
    QStringList errors() const { return problems; }

private:
    struct SourceFile
    {
        QString path;     // absolute, in the release directory
        QString relative; // installed path
        bool compress;
    };

    bool checkOptions();
    bool collectFiles();
    void collectDirectory(const QByteArray &path, const QString &relative);
    bool isSelectedForGzip(const QString &relative, qint64 size) const;
    bool collectDeletes();
    bool readDeleteList(const QSet<QString> &released, const QSet<QString> &releasedDirs, QStringList &deletes);
    bool collectOtherReleases();
    bool writeFiles();
    bool writeFile(const SourceFile &source, ProductIni::Entry &entry);
    bool transfer(QFileDevice &from, QFileDevice &to, bool compress, FileDigest &read, FileDigest &written);
    bool commit(QSaveFile &file, const QString &relative, const FileDigest &digest);
    bool writeChangelog();
    bool writeIni();
    QString versionDir() const;

    Options options;
    QTextStream &out;
    QStringList problems;
    QList<QRegularExpression> gzipExpressions; // compiled options.gzipPatterns, same order
    QList<SourceFile> files;
    ProductIni ini;
    QHash<QString, QString> otherReleases; // path below the version directory -> product ini using it
};
