#include "update/filereplacespecification.h"

#include "app/configuration.h"

#include <QFileInfo>

FileReplaceSpecification::FileReplaceSpecification(const QString &remoteDir, const QString &fileName,
                                                   const QString &unzipMd5, quint64 unzipSize,
                                                   const QString &unzipFileName)
    : remoteDir(remoteDir),
      fileName(fileName),
      unzipMd5(unzipMd5),
      unzipSize(unzipSize),
      unzipFileName(unzipFileName)
{
}

bool FileReplaceSpecification::hasUnzip() const
{
    return !unzipFileName.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unzipFileName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString &prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString directory = info.path();
    const QString name = prefix + info.fileName();
    return directory == QLatin1String(".") ? name : directory + QLatin1Char('/') + name;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(Configuration::getSpecialFileRenamePrefix());
}
