#include "net/releasemanifest.h"

#include "net/manifestkey.h"
#include "net/manifestkeyring.h"

#include <QRegularExpression>

namespace {
const QByteArray header = QByteArrayLiteral("murmelo-release-manifest 1");
constexpr qsizetype MaxLine = 8192;

bool matches(const char *pattern, const QByteArray &text)
{
    return QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromLatin1(text)).hasMatch();
}

bool parseNumber(const QByteArray &text, quint64 &number)
{
    bool ok = false;
    number = text.toULongLong(&ok);
    return ok && matches("^(?:0|[1-9][0-9]{0,18})$", text);
}

// "<word> <value>" with exactly one space; value is everything after it.
bool takeItem(const QByteArray &line, const char *word, QByteArray &value)
{
    const QByteArray prefix = QByteArray(word) + ' ';
    if (!line.startsWith(prefix))
        return false;
    value = line.mid(prefix.size());
    return true;
}

// "<word> <sha256> <size> <path>"
bool takeDigest(const QByteArray &line, const char *word, QString &sha256, quint64 &size, QString &path)
{
    QByteArray value;
    if (!takeItem(line, word, value))
        return false;
    const qsizetype first = value.indexOf(' ');
    const qsizetype second = first < 0 ? -1 : value.indexOf(' ', first + 1);
    if (second < 0)
        return false;
    const QByteArray sum = value.left(first);
    const QByteArray rawPath = value.mid(second + 1);
    path = QString::fromUtf8(rawPath);
    sha256 = QString::fromLatin1(sum);
    return matches("^[0-9a-f]{64}$", sum) && parseNumber(value.mid(first + 1, second - first - 1), size)
            && !rawPath.isEmpty() && path.toUtf8() == rawPath && !matches("[\\x00-\\x1f\\x7f]", rawPath);
}
} // namespace

QString ReleaseManifest::formatTime(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

QString ReleaseManifest::parse(const QByteArray &text, ReleaseManifest &manifest)
{
    if (text.size() > MaxBytes)
        return QStringLiteral("the release manifest has more than %1 bytes").arg(MaxBytes);
    if (!text.endsWith('\n'))
        return QStringLiteral("the release manifest is truncated (it does not end with a line end)");
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast();
    ReleaseManifest result;
    qsizetype index = 0;
    const auto where = [&index](const QString &what) {
        return QStringLiteral("line %1 of the release manifest: %2").arg(index + 1).arg(what);
    };
    for (const QByteArray &line : std::as_const(lines)) {
        if (line.size() > MaxLine || line.contains('\r'))
            return QStringLiteral("the release manifest has an over-long line or a carriage return");
    }
    if (lines.size() < 7 || lines.at(0) != header)
        return QStringLiteral("this is no release manifest of version 1 (\"%1\" expected first)").arg(QString::fromLatin1(header));

    QByteArray value;
    index = 1;
    if (!takeItem(lines.at(index), "client-type", value) || !matches("^[A-Za-z0-9_.-]{1,64}$", value))
        return where(QStringLiteral("\"client-type <type>\" expected"));
    result.clientType = QString::fromLatin1(value);
    index = 2;
    if (!takeItem(lines.at(index), "version", value) || !parseNumber(value, result.version) || result.version == 0)
        return where(QStringLiteral("\"version <positive number>\" expected"));
    index = 3;
    if (!takeItem(lines.at(index), "channel", value) || !matches("^[a-z0-9-]{1,32}$", value))
        return where(QStringLiteral("\"channel <name>\" expected"));
    result.channel = QString::fromLatin1(value);
    index = 4;
    if (!takeItem(lines.at(index), "expires", value))
        return where(QStringLiteral("\"expires <time>\" expected"));
    result.expires = QDateTime::fromString(QString::fromLatin1(value), Qt::ISODate);
    if (!result.expires.isValid() || formatTime(result.expires) != QString::fromLatin1(value))
        return where(QStringLiteral("the expiry is no UTC time of the form 2027-01-31T12:00:00Z"));

    for (index = 5; index < lines.size() - 1 && lines.at(index).startsWith("rotation "); ++index) {
        KeyRotation rotation;
        const QString why = KeyRotation::parse(lines.at(index), rotation);
        if (!why.isEmpty())
            return where(why);
        result.rotations << rotation;
    }
    QString lastPath;
    for (; index < lines.size() - 1; ++index) {
        File file;
        QString path;
        if (takeDigest(lines.at(index), "file", file.sha256, file.size, path)) {
            if (result.files.contains(path))
                return where(QStringLiteral("%1 is listed twice").arg(path));
            result.files.insert(path, file);
            lastPath = path;
        } else if (takeDigest(lines.at(index), "unpacked", file.unpackedSha256, file.unpackedSize, path)) {
            if (path != lastPath || result.files[path].compressed)
                return where(QStringLiteral("an \"unpacked\" line follows the \"file\" line of the same path, once"));
            File &packed = result.files[path];
            packed.compressed = true;
            packed.unpackedSha256 = file.unpackedSha256;
            packed.unpackedSize = file.unpackedSize;
        } else {
            return where(QStringLiteral("\"file <sha256> <size> <path>\" or \"unpacked ...\" expected"));
        }
    }
    if (result.files.isEmpty())
        return where(QStringLiteral("the release manifest lists no files"));
    if (!takeItem(lines.at(index), "signature", value)
        || !matches("^[0-9a-f]{16} (?:[0-9a-f]{2})+$", value))
        return where(QStringLiteral("\"signature <key id> <hex>\" expected last"));
    result.signerId = QString::fromLatin1(value.left(16));
    result.signature = QByteArray::fromHex(value.mid(17));
    result.signedPart = text.left(text.size() - lines.at(index).size() - 1);
    manifest = result;
    return QString();
}

QByteArray ReleaseManifest::body() const
{
    QByteArray text = header + '\n';
    text += "client-type " + clientType.toLatin1() + '\n';
    text += "version " + QByteArray::number(version) + '\n';
    text += "channel " + channel.toLatin1() + '\n';
    text += "expires " + formatTime(expires).toLatin1() + '\n';
    for (const KeyRotation &rotation : rotations)
        text += rotation.line() + '\n';
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        text += "file " + file->sha256.toLatin1() + ' ' + QByteArray::number(file->size) + ' ' + file.key().toUtf8()
                + '\n';
        if (file->compressed) {
            text += "unpacked " + file->unpackedSha256.toLatin1() + ' ' + QByteArray::number(file->unpackedSize) + ' '
                    + file.key().toUtf8() + '\n';
        }
    }
    return text;
}

QByteArray ReleaseManifest::signatureLine() const
{
    return "signature " + signerId.toLatin1() + ' ' + signature.toHex() + '\n';
}

void ReleaseManifest::sign(const ManifestKey &key)
{
    signedPart = body();
    signerId = key.id();
    signature = key.sign(signedPart);
}

QString ReleaseManifest::verify(ManifestKeyring &ring) const
{
    for (const KeyRotation &rotation : rotations) {
        const QString why = rotation.applyTo(ring);
        if (!why.isEmpty())
            return why;
    }
    const ManifestKey *key = ring.find(signerId);
    if (!key) {
        return QStringLiteral("the release manifest is signed with the key %1, which this updater does not trust%2")
                .arg(signerId, ring.isRetired(signerId) ? QStringLiteral(" (it was retired)") : QString());
    }
    if (!key->verify(signedPart, signature))
        return QStringLiteral("the release manifest's signature does not verify under the key %1").arg(signerId);
    return QString();
}

QString ReleaseManifest::refusal(const Expectation &expected) const
{
    if (clientType != expected.clientType) {
        return QStringLiteral("the release manifest is for the client type %1, this run updates %2")
                .arg(clientType, expected.clientType);
    }
    if (version != expected.version) {
        return QStringLiteral("the release manifest is for version %1, this run installs version %2")
                .arg(version)
                .arg(expected.version);
    }
    if (channel != expected.channel) {
        return QStringLiteral("the release manifest is for the channel %1, this installation follows %2")
                .arg(channel, expected.channel);
    }
    if (expires <= expected.now) {
        return QStringLiteral("the release manifest expired at %1 (now %2); the mirror serves a stale release")
                .arg(formatTime(expires), formatTime(expected.now));
    }
    if (version < expected.highestAccepted) {
        return QStringLiteral("the release manifest is for version %1, older than version %2 that this installation "
                              "accepted before: a rollback is refused")
                .arg(version)
                .arg(expected.highestAccepted);
    }
    return QString();
}
