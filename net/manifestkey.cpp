#include "net/manifestkey.h"

#include "net/crypt.h"

#include <QCryptographicHash>
#include <QFile>

namespace {
const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}
} // namespace

QString ManifestKey::fromDer(const QByteArray &der, ManifestKey &key)
{
    KeyFacts facts;
    try {
        facts = key_facts(bytes(der), static_cast<unsigned long>(der.size()));
    } catch (const crypt_exception &e) {
        return QStringLiteral("no usable RSA key (%1)").arg(QString::fromLocal8Bit(e.what()));
    }
    if (facts.bits < MANIFEST_KEY_BITS) {
        return QStringLiteral("an RSA key of %1 bits; a release manifest needs at least %2")
                .arg(facts.bits)
                .arg(MANIFEST_KEY_BITS);
    }
    key.der = der;
    key.publicKey = QByteArray(reinterpret_cast<const char *>(facts.publicDer.data()), qsizetype(facts.publicDer.size()));
    key.keyId = idOf(key.publicKey);
    key.privateKey = facts.isPrivate;
    return QString();
}

QString ManifestKey::fromFile(const QString &path, ManifestKey &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the key file %1: %2").arg(path, file.errorString());
    // Every key file is one key block at most; anything larger is no key of ours.
    const QByteArray der = file.read(qint64(KEY_BLOCK_SIZE) + 1);
    if (der.size() > qsizetype(KEY_BLOCK_SIZE))
        return QStringLiteral("%1 is larger than a key file (%2 bytes)").arg(path).arg(KEY_BLOCK_SIZE);
    const QString why = fromDer(der, key);
    return why.isEmpty() ? why : QStringLiteral("%1 holds %2").arg(path, why);
}

bool ManifestKey::verify(const QByteArray &message, const QByteArray &signature) const
{
    try {
        return verify_sha256(bytes(publicKey), static_cast<unsigned long>(publicKey.size()), bytes(message),
                             static_cast<unsigned long>(message.size()), bytes(signature),
                             static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception &) {
        return false;
    }
}

QByteArray ManifestKey::sign(const QByteArray &message) const
{
    const std::vector<unsigned char> signature = sign_sha256(bytes(der), static_cast<unsigned long>(der.size()),
                                                             bytes(message), static_cast<unsigned long>(message.size()));
    return QByteArray(reinterpret_cast<const char *>(signature.data()), qsizetype(signature.size()));
}

QString ManifestKey::idOf(const QByteArray &publicDer)
{
    return QString::fromLatin1(QCryptographicHash::hash(publicDer, QCryptographicHash::Sha256).toHex().left(16));
}
