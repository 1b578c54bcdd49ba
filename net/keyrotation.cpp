#include "net/keyrotation.h"

#include "net/crypt.h"
#include "net/manifestkey.h"
#include "net/manifestkeyring.h"

#include <QList>
#include <QRegularExpression>

namespace {
const QByteArray addWord = QByteArrayLiteral("add");
const QByteArray retireWord = QByteArrayLiteral("retire");

bool isKeyId(const QByteArray &text)
{
    static const QRegularExpression id(QStringLiteral("^[0-9a-f]{16}$"));
    return id.match(QString::fromLatin1(text)).hasMatch();
}

bool isHex(const QByteArray &text)
{
    static const QRegularExpression hex(QStringLiteral("^(?:[0-9a-f]{2})+$"));
    return hex.match(QString::fromLatin1(text)).hasMatch();
}
} // namespace

KeyRotation KeyRotation::add(const ManifestKey &newKey, const ManifestKey &signer)
{
    return make(Add, newKey.publicDer(), signer);
}

KeyRotation KeyRotation::retire(const QString &retiredId, const ManifestKey &signer)
{
    return make(Retire, retiredId.toLatin1(), signer);
}

KeyRotation KeyRotation::make(Action action, const QByteArray &subject, const ManifestKey &signer)
{
    KeyRotation rotation;
    rotation.action = action;
    rotation.subject = subject;
    rotation.signerId = signer.id();
    rotation.signature = signer.sign(rotation.statement());
    return rotation;
}

QString KeyRotation::parse(const QByteArray &line, KeyRotation &rotation)
{
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() != 5 || fields.at(0) != "rotation" || (fields.at(1) != addWord && fields.at(1) != retireWord))
        return QStringLiteral("a rotation line is \"rotation add|retire <signer> <signature> <key>\"");
    if (!isKeyId(fields.at(2)) || !isHex(fields.at(3)))
        return QStringLiteral("a rotation line names its signer by a 16-digit key id and gives its signature in hex");
    rotation.action = fields.at(1) == addWord ? Add : Retire;
    if (rotation.action == Add ? !isHex(fields.at(4)) || fields.at(4).size() > 2 * qsizetype(KEY_BLOCK_SIZE)
                               : !isKeyId(fields.at(4))) {
        return QStringLiteral("a rotation line adds a key given in hex DER or retires a 16-digit key id");
    }
    rotation.signerId = QString::fromLatin1(fields.at(2));
    rotation.signature = QByteArray::fromHex(fields.at(3));
    rotation.subject = rotation.action == Add ? QByteArray::fromHex(fields.at(4)) : fields.at(4);
    return QString();
}

QByteArray KeyRotation::line() const
{
    return QByteArrayLiteral("rotation ") + (action == Add ? addWord : retireWord) + ' ' + signerId.toLatin1() + ' '
            + signature.toHex() + ' ' + (action == Add ? subject.toHex() : subject);
}

QByteArray KeyRotation::statement() const
{
    return QByteArrayLiteral("murmelo-key-rotation 1 ") + (action == Add ? addWord : retireWord) + ' '
            + (action == Add ? subject.toHex() : subject);
}

QString KeyRotation::applyTo(ManifestKeyring &ring) const
{
    // A manifest keeps carrying the statement that introduced its key for the updaters built before it; an
    // updater built with the new key only does not know the old one and has no use for the statement.
    const ManifestKey *signer = ring.find(signerId);
    if (!signer)
        return QString();
    if (!signer->verify(statement(), signature))
        return QStringLiteral("a key rotation statement does not verify under the key %1").arg(signerId);
    if (action == Retire) {
        ring.retire(QString::fromLatin1(subject));
        return QString();
    }
    ManifestKey key;
    const QString why = ManifestKey::fromDer(subject, key);
    if (!why.isEmpty())
        return QStringLiteral("a key rotation statement adds %1").arg(why);
    if (key.isPrivate())
        return QStringLiteral("a key rotation statement carries a private key");
    ring.add(key);
    return QString();
}
