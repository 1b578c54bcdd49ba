#pragma once

#include "manifestwriter.h"
#include "releasetree.h"
#include "releasewriter.h"

#include "update/productini.h"

#include <QSet>
#include <QStringList>

class QTextStream;

// Publishes one client type's release: copies (or gzips) the release directory's files into
// <out>/<version>/<section>/, writes <out>/<version>/<client type>.ini and signs it, then checks the result
// the way the updater will. ReleaseNames checks every name, ReleaseTree reads the release directory,
// ReleaseWriter writes onto the mirror tree and ReleaseVerifier checks the result; this class checks the
// options, compiles the delete list and keeps the order. Nothing is written before every input has been checked; the product ini and
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
        qint64 blockMapThreshold = BlockMap::DefaultThreshold; // negative: no block maps
        ManifestWriter::Options manifest; // written when its privateKey is set
    };

    ReleasePublisher(const Options &options, QTextStream &out);

    bool publish();
    // One line per problem, each naming the file or argument concerned.
    QStringList errors() const { return problems; }

private:
    bool checkOptions();
    bool collectFiles();
    bool collectDeletes();
    bool readDeleteList(const QSet<QString> &released, const QSet<QString> &releasedDirs, QStringList &deletes);
    bool writeFiles();
    QString versionDir() const;

    Options options;
    QTextStream &out;
    QStringList problems;
    ReleaseTree tree;
    ReleaseWriter writer; // adds to problems
    ProductIni ini;
};
