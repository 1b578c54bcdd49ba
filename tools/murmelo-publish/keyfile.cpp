#include "keyfile.h"

#include "net/crypt.h"

#include <QFile>
#include <QFileInfo>

#include <tomcrypt.h>

QString KeyFile::check(const QString &path, bool needPrivate)
{
    Rsa_key key;
    try {
        load_key(&key, QFile::encodeName(path).constData());
    } catch (const crypt_exception &e) {
        if (!QFileInfo(path).isReadable())
            return QStringLiteral("cannot read the key file %1").arg(path);
        return QStringLiteral("%1 holds no usable RSA key (%2)").arg(path, QString::fromLocal8Bit(e.what()));
    }
    const bool isPrivate = key.type == PK_PRIVATE;
    rsa_free(&key);
    if (needPrivate && !isPrivate)
        return QStringLiteral("%1 holds a public key; signing needs the private key").arg(path);
    return QString();
}
