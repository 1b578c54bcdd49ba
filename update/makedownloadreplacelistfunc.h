#pragma once

#include "tasks/asyncfunc.h"

class Configuration;
class FileSpecifications;
class QSettings;

// The list compiler; runs on a pool thread and writes only into result.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    MakeDownloadReplaceListFunc(Configuration *configuration, FileSpecifications &result);

    bool run() override;

private:
    static int getFileCount(QSettings &ini);
    static bool isInside(const QString &base, const QString &relativePath);
    static bool hasMd5(const QString &path, const QString &md5);
    bool addDeleteSection(QSettings &ini, const QString &root, int total, int &done);
    bool addFileSection(QSettings &ini, const QString &section, const QString &root, int total, int &done);
    void invalidLine(const QString &section);

    Configuration *configuration;
    FileSpecifications &result;
};
