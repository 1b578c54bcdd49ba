#pragma once

#include "tasks/asyncfunc.h"
#include "update/filespecifications.h"
#include "update/productini.h"

class Configuration;
class FileSpecifications;

// The list compiler; runs on a pool thread and writes only into result.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    MakeDownloadReplaceListFunc(Configuration *configuration, FileSpecifications &result);

    bool run() override;

private:
    // A file of the product ini and what the installation and the temporary directory hold of it.
    struct Candidate
    {
        FileDownloadSpecification download;
        FileReplaceSpecification replace;
        bool installed = false;  // the installed file has the sum: nothing to do
        bool downloaded = false; // the temporary directory holds it, complete
    };

    static bool isInside(const QString &base, const QString &relativePath);
    static bool hasMd5(const QString &path, const QString &md5);
    // False for an invalid line: the compilation stops there.
    bool addDeleteLine(const ProductIni::Line &line, const QString &root);
    bool addFileLine(const ProductIni::Line &line, const QString &root, QList<Candidate> &candidates);
    void checkCandidate(Candidate &candidate, const QString &root) const;
    void invalidLine(const QString &section);

    Configuration *configuration;
    FileSpecifications &result;
};
