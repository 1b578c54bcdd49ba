#pragma once

#include <QString>

// One file to fetch from the mirrors into the run's temporary directory.
class FileDownloadSpecification
{
public:
    FileDownloadSpecification() = default;
    FileDownloadSpecification(const QString &remoteDir, const QString &fileName, const QString &md5,
                              quint64 size);

    QString remoteDir; // directory on the mirror (product ini section)
    QString fileName;  // relative to remoteDir and to the temporary directory
    QString md5;       // of the file as it lies on the mirror
    quint64 size = 0;
    QString sha256;    // from the release manifest; empty without one
    // Shipped gzip-compressed: its bytes on the mirror are not those of any installed file.
    bool compressed = false;
    // Bytes of it found in the temporary directory when the list was made (a partial copy from an earlier
    // run), so that the download need not look again; -1: not looked.
    qint64 onDisk = -1;
};
