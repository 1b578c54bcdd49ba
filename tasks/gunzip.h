#pragma once

#include <QByteArrayView>
#include <QString>

#include <functional>

// Reads a gzip file through zlib and hands its decompressed content to a sink, one chunk at a time, so
// that memory use does not grow with the file. A file that is not gzip-compressed passes unchanged, as
// zlib reads it. Installing a file, and checking what a compressed file will install, both go through here.
class Gunzip
{
public:
    enum Result {
        Done,       // the whole stream reached the sink
        CannotOpen, // the file could not be opened
        Broken,     // a read failed or the stream is cut off inside the compressed data
        SinkFailed  // the sink returned false; nothing more was read
    };

    using Sink = std::function<bool(QByteArrayView chunk)>;

    static Result run(const QString &path, const Sink &sink);
};
