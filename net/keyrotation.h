#pragma once

#include <QByteArray>
#include <QString>

class ManifestKey;
class ManifestKeyring;

// A signed statement that adds a manifest key to the trusted set or retires one, made with a key the
// updater trusts already. A manifest carries it as one line:
//   rotation add <signer id> <signature hex> <public DER hex>
//   rotation retire <signer id> <signature hex> <retired key id>
// The signature covers "murmelo-key-rotation 1 add <public DER hex>" or "... retire <key id>".
class KeyRotation
{
public:
    enum Action { Add, Retire };

    static KeyRotation add(const ManifestKey &newKey, const ManifestKey &signer);
    static KeyRotation retire(const QString &retiredId, const ManifestKey &signer);
    // Empty on success, else why the line is no rotation statement.
    static QString parse(const QByteArray &line, KeyRotation &rotation);

    QByteArray line() const;
    // Checks the signature against the ring as it stands and changes it; empty on success. A statement by a
    // key the ring does not hold (any more) changes nothing and is no error.
    QString applyTo(ManifestKeyring &ring) const;

    Action action = Add;
    QByteArray subject; // the added key's public DER, or the retired key's id
    QString signerId;
    QByteArray signature;

private:
    static KeyRotation make(Action action, const QByteArray &subject, const ManifestKey &signer);
    QByteArray statement() const;
};
