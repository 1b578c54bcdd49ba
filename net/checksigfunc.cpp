#include "net/checksigfunc.h"

#include "net/crypt.h"

#include <QCryptographicHash>
#include <QFile>

namespace {

// Downloads can be larger than the memory of the machine, so the MD5 check streams through this much.
constexpr qint64 Md5ChunkSize = 1 << 20;

const unsigned char *bytes(const QByteArray &buffer)
{
    return reinterpret_cast<const unsigned char *>(buffer.constData());
}

} // namespace

CheckSigFunc::CheckSigFunc(QString filePath, QString expectedMd5)
    : filePath(std::move(filePath)), expectedMd5(std::move(expectedMd5))
{
}

bool CheckSigFunc::run()
{
    return expectedMd5.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::readFile(const QString &path, QByteArray &buffer)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    buffer.resize(file.size());
    if (file.read(buffer.data(), buffer.size()) != buffer.size()) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(path));
        return false;
    }
    return true;
}

bool CheckSigFunc::checkMD5()
{
    QFile file(filePath);
    // Unbuffered: the chunks are large, and QFile's own buffer would only add a copy.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(filePath));
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(Md5ChunkSize, Qt::Uninitialized);
    // Exactly the size seen at opening is hashed, as if the file had been read whole.
    for (qint64 remaining = file.size(); remaining > 0;) {
        const qint64 got = file.read(chunk.data(), qMin(remaining, Md5ChunkSize));
        if (got <= 0) {
            emit message(QStringLiteral("could not read file %1 correctly").arg(filePath));
            return false;
        }
        hash.addData(QByteArrayView(chunk.constData(), got));
        remaining -= got;
    }
    return QString::fromLatin1(hash.result().toHex()).compare(expectedMd5, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray msg;
    QByteArray sig;
    if (!readFile(filePath, msg) || !readFile(filePath + QStringLiteral(".sig"), sig))
        return false;
    try {
        return verify_with_key(PUBLIC_KEY, KEY_BLOCK_SIZE, bytes(msg), static_cast<unsigned long>(msg.size()),
                               bytes(sig), static_cast<unsigned long>(sig.size()));
    } catch (const crypt_exception &) {
        // A bad signature is reported as a failed check by the task; the library's reason would only
        // confuse the log.
        return false;
    }
}
