#pragma once

#include <QByteArray>
#include <QString>

// An RSA key that signs or verifies release manifests and key rotation statements: at least
// MANIFEST_KEY_BITS, RSASSA-PSS over SHA-256. A key is named by its id, the first 16 hex digits of the
// SHA-256 of its public DER, so that a manifest can say which key signed it without carrying the key.
class ManifestKey
{
public:
    // Each returns an empty string on success, else why the key cannot be used.
    static QString fromDer(const QByteArray &der, ManifestKey &key);
    static QString fromFile(const QString &path, ManifestKey &key);

    QString id() const { return keyId; }
    QByteArray publicDer() const { return publicKey; }
    bool isPrivate() const { return privateKey; }

    bool verify(const QByteArray &message, const QByteArray &signature) const;
    // Needs a private key; throws crypt_exception otherwise.
    QByteArray sign(const QByteArray &message) const;

    static QString idOf(const QByteArray &publicDer);

private:
    QByteArray der; // as loaded: the private key of a signing key
    QByteArray publicKey;
    QString keyId;
    bool privateKey = false;
};
