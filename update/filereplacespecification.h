#pragma once

#include <QString>

// One downloaded file to install, possibly by decompressing it under another name.
class FileReplaceSpecification
{
public:
    FileReplaceSpecification() = default;
    FileReplaceSpecification(const QString &remoteDir, const QString &fileName, const QString &unzipMd5,
                             quint64 unzipSize, const QString &unzipFileName);

    bool hasUnzip() const;
    // Installed path relative to the installation directory.
    QString pureDestFilePath() const;
    // pureDestFilePath() with prefix put in front of its last component.
    QString destFileName(const QString &prefix) const;
    // Where the installed file is parked while its replacement goes in.
    QString oldDestFileName() const;

    QString remoteDir;     // carried along; installing does not need it
    QString fileName;      // the downloaded file, relative to the temporary directory
    QString unzipMd5;      // empty unless compressed
    quint64 unzipSize = 0;
    QString unzipFileName; // empty unless compressed
    QString unzipSha256;   // of the decompressed content, from the release manifest; empty without one
};
