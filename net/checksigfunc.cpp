#include "net/checksigfunc.h"

#include "net/crypt.h"
#include "tasks/filedigest.h"

#include <QFile>

namespace {

const unsigned char *bytes(const QByteArray &buffer)
{
    return reinterpret_cast<const unsigned char *>(buffer.constData());
}

} // namespace

CheckSigFunc::CheckSigFunc(QString filePath, QString expectedMd5, FileDigest known)
    : filePath(std::move(filePath)), expectedMd5(std::move(expectedMd5)), known(std::move(known))
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

bool CheckSigFunc::isQuick() const
{
    return !expectedMd5.isEmpty() && digestKnown();
}

bool CheckSigFunc::digestKnown() const
{
    return !known.md5.isEmpty() && (expectedSha256.isEmpty() || !known.sha256.isEmpty());
}

bool CheckSigFunc::checkMD5()
{
    const bool withSha256 = !expectedSha256.isEmpty();
    FileDigest digest = known;
    if (!digestKnown()) {
        switch (FileDigest::ofFile(filePath, digest, withSha256 ? FileDigest::Md5AndSha256 : FileDigest::Md5)) {
        case FileDigest::CannotOpen:
            emit message(QStringLiteral("Could not open file %1 for reading").arg(filePath));
            return false;
        case FileDigest::CannotRead:
            emit message(QStringLiteral("could not read file %1 correctly").arg(filePath));
            return false;
        case FileDigest::Done:
            break;
        }
    }
    if (!digest.hasMd5(expectedMd5))
        return false;
    // Only a file whose MD5 sum is right gets here: this is the case of a colliding file.
    if (withSha256 && digest.sha256.compare(expectedSha256, Qt::CaseInsensitive) != 0) {
        emit message(QStringLiteral("SHA-256 sum of %1 differs from the release manifest").arg(filePath));
        return false;
    }
    return true;
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
