#pragma once

#include "tasks/sha256.h"

#include <QByteArrayView>
#include <QCryptographicHash>
#include <QString>

#include <optional>

// MD5 sum (32 lower-case hex digits) and length of a file's content: what a product ini records of a file,
// what the download check compares, and what the release publisher writes and verifies. Everything that
// takes an MD5 sum of a file streams it through here.
class FileDigest
{
public:
    enum Result {
        Done,
        CannotOpen,
        CannotRead // for a gzip file also: not a complete gzip stream
    };

    // A signed release manifest adds SHA-256 to the MD5 sum; both come from the same pass over the data.
    enum Sums { Md5, Md5AndSha256 };

    // Takes the digest of content that passes by in pieces, for callers that read or write it anyway.
    class Stream
    {
    public:
        explicit Stream(Sums sums = Md5);
        void add(QByteArrayView chunk);
        FileDigest result() const;

    private:
        QCryptographicHash hash{QCryptographicHash::Md5};
        std::optional<Sha256> sha256;
        quint64 size = 0;
    };

    FileDigest() = default;
    FileDigest(const QString &md5, quint64 size) : md5(md5), size(size) {}

    bool operator==(const FileDigest &other) const
    {
        return size == other.size && hasMd5(other.md5);
    }
    bool operator!=(const FileDigest &other) const { return !(*this == other); }
    // MD5 sums are compared without regard to letter case.
    bool hasMd5(const QString &otherMd5) const { return md5.compare(otherMd5, Qt::CaseInsensitive) == 0; }

    // The file as it lies on disk: exactly the length it had when it was opened, as if read whole.
    static Result ofFile(const QString &path, FileDigest &digest, Sums sums = Md5);
    // The content a gzip file decompresses to, read the way the installer unpacks it.
    static Result ofGunzipped(const QString &path, FileDigest &digest, Sums sums = Md5);

    QString md5;
    QString sha256; // 64 lower-case hex digits; empty unless asked for
    quint64 size = 0;
};
