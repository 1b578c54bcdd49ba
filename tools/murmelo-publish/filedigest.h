#pragma once

#include <QString>

// MD5 sum (32 lower-case hex digits) and length of a file's content, the two things a product ini records.
class FileDigest
{
public:
    FileDigest() = default;
    FileDigest(const QString &md5, quint64 size) : md5(md5), size(size) {}

    bool operator==(const FileDigest &other) const
    {
        return size == other.size && md5.compare(other.md5, Qt::CaseInsensitive) == 0;
    }
    bool operator!=(const FileDigest &other) const { return !(*this == other); }

    // The file as it lies on disk.
    static bool ofFile(const QString &path, FileDigest &digest, QString &error);
    // The content a gzip file decompresses to, read through zlib as the updater's installer reads it.
    static bool ofGunzipped(const QString &path, FileDigest &digest, QString &error);

    QString md5;
    quint64 size = 0;
};
