// sha256check <mode> <file>: hashes one file for bench/sha256-check and prints the hex digest(s).
// Modes: "digest" (FileDigest's MD5 and SHA-256 in one pass), "sha256" (Sha256 as FileDigest picks it),
// "sha256-portable" (Sha256 without the SHA instructions), "qt-sha256" (QCryptographicHash, the
// baseline Sha256 replaced). Exit status 1 when the file cannot be read, 2 on usage errors.

#include "tasks/filedigest.h"
#include "tasks/sha256.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <cstdio>
#include <functional>

namespace {

bool readInChunks(const QString &path, const std::function<void(QByteArrayView)> &add)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    qint64 got;
    while ((got = file.read(chunk.data(), chunk.size())) > 0)
        add(QByteArrayView(chunk.constData(), got));
    return got == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QString mode = arguments.value(1);
    const QString path = arguments.value(2);
    if (arguments.size() != 3) {
        std::fputs("usage: sha256check digest|sha256|sha256-portable|qt-sha256 <file>\n", stderr);
        return 2;
    }
    QByteArray output;
    bool read = false;
    if (mode == QLatin1String("digest")) {
        FileDigest digest;
        read = FileDigest::ofFile(path, digest, FileDigest::Md5AndSha256) == FileDigest::Done;
        output = (digest.md5 + QLatin1Char(' ') + digest.sha256).toLatin1();
    } else if (mode == QLatin1String("sha256") || mode == QLatin1String("sha256-portable")) {
        Sha256 sha(mode == QLatin1String("sha256") ? Sha256::Fastest : Sha256::Portable);
        read = readInChunks(path, [&sha](QByteArrayView chunk) { sha.add(chunk); });
        output = sha.result().toHex();
    } else if (mode == QLatin1String("qt-sha256")) {
        QCryptographicHash sha(QCryptographicHash::Sha256);
        read = readInChunks(path, [&sha](QByteArrayView chunk) { sha.addData(chunk); });
        output = sha.result().toHex();
    } else {
        std::fputs("sha256check: unknown mode\n", stderr);
        return 2;
    }
    if (!read) {
        std::fputs("sha256check: cannot read the file\n", stderr);
        return 1;
    }
    std::printf("%s\n", output.constData());
    return 0;
}
