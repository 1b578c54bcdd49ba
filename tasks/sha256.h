#pragma once

#include <QByteArray>
#include <QByteArrayView>

// SHA-256 of content that passes by in pieces. QCryptographicHash's SHA-256 is several times slower than
// reading a file from the page cache, and a release manifest makes every downloaded, reused and installed
// file go through it; this one uses the CPU's SHA instructions where it has them.
class Sha256
{
public:
    enum Implementation {
        Fastest, // the SHA instructions if the CPU has them, else the portable code
        Portable // plain C++ on every CPU; lets tests compare both on a machine with the instructions
    };

    explicit Sha256(Implementation implementation = Fastest);
    void add(QByteArrayView data);
    // The 32-byte digest of everything added so far; more may be added afterwards.
    QByteArray result() const;

    // Whether Fastest means the SHA instructions on this CPU.
    static bool hasShaInstructions();

private:
    // Runs the compression function over whole 64-byte blocks.
    using Compress = void (*)(quint32 *state, const uchar *blocks, qsizetype count);

    Compress compress;
    quint32 state[8];
    uchar pending[64];
    qsizetype pendingSize = 0;
    quint64 totalSize = 0;
};
