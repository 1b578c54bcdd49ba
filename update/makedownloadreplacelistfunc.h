#pragma once

#include "tasks/asyncfunc.h"
#include "update/filespecifications.h"
#include "update/productini.h"

#include <QHash>

class Configuration;
class FileSpecifications;

// The list compiler; runs on a pool thread and writes only into result.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    MakeDownloadReplaceListFunc(Configuration *configuration, FileSpecifications &result);

    // The files of an accepted release manifest: their SHA-256 sums are checked besides the MD5 sums.
    void setManifestFiles(const QMap<QString, ReleaseManifest::File> &files) { manifestFiles = files; }

    bool run() override;

private:
    // A file of the product ini and what the installation and the temporary directory hold of it.
    struct Candidate
    {
        FileDownloadSpecification download;
        FileReplaceSpecification replace;
        bool installed = false;  // the installed file has the sum: nothing to do
        bool downloaded = false; // the temporary directory holds it, complete

        quint64 installedSize() const { return replace.hasUnzip() ? replace.unzipSize : download.size; }
    };

    bool isInside(const QString &base, const QString &relativePath);
    // Where the nearest existing directory at or above dir really lies.
    QString resolvedDirectory(const QString &dir);
    // sha256 may be empty: then the MD5 sum alone decides. Both come from one pass over the file.
    static bool hasSums(const QString &path, const QString &md5, const QString &sha256);
    // False for an invalid line: the compilation stops there.
    bool addDeleteLine(const ProductIni::Line &line, const QString &root);
    bool addFileLine(const ProductIni::Line &line, const QString &root, QList<Candidate> &candidates);
    void checkCandidate(Candidate &candidate, const QString &root) const;
    void invalidLine(const QString &section);

    Configuration *configuration;
    FileSpecifications &result;
    QMap<QString, ReleaseManifest::File> manifestFiles;
    // Thousands of entries share a few directories, and resolving one walks every component of its path:
    // each directory and base is resolved once per compile.
    QHash<QString, QString> resolvedDirectories;
    QHash<QString, QString> canonicalBases;
};
