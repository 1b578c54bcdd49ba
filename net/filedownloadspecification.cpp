#include "net/filedownloadspecification.h"

FileDownloadSpecification::FileDownloadSpecification(const QString &remoteDir, const QString &fileName,
                                                     const QString &md5, quint64 size)
    : remoteDir(remoteDir), fileName(fileName), md5(md5), size(size)
{
}
