#include "releasenames.h"

#include "app/configuration.h"

#include <QRegularExpression>
#include <QUrl>

namespace {
const QString deleteSection = QStringLiteral("delete");
} // namespace

QString ReleaseNames::checkCharacters(const QString &name)
{
    // QDir hands out U+FFFD for bytes that are not UTF-8; such a name could not even be opened again.
    if (name.contains(QChar::ReplacementCharacter))
        return QStringLiteral("is not valid UTF-8");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("contains a control character");
    }
    if (name.contains(QLatin1Char('\\')))
        return QStringLiteral("contains a backslash, which the product ini reader turns into \"/\"");
    // Written by QSettings a comma is quoted, but one lost quote turns the value into a list that the
    // updater reads as an invalid line; names with commas are rare enough to refuse.
    if (name.contains(QLatin1Char(',')))
        return QStringLiteral("contains a comma, which the product ini cannot carry safely");
    // The updater appends the name to the mirror URL as text, so these would cut or re-encode the path.
    if (name.contains(QLatin1Char('#')) || name.contains(QLatin1Char('?')))
        return QStringLiteral("contains \"#\" or \"?\", which would cut the download URL short");
    const QString base = QStringLiteral("/1/s/");
    if (QUrl(QStringLiteral("http://mirror.invalid") + base + name).path() != base + name)
        return QStringLiteral("contains a \"%\" escape that the download URL would decode");
    return QString();
}

QString ReleaseNames::checkPath(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("is empty");
    if (path.startsWith(QLatin1Char('/')))
        return QStringLiteral("is an absolute path");
    const QString characters = checkCharacters(path);
    if (!characters.isEmpty())
        return characters;
    const QStringList components = path.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (component.isEmpty())
            return QStringLiteral("has an empty path component");
        if (component == QLatin1String(".") || component == QLatin1String(".."))
            return QStringLiteral("has a \".\" or \"..\" component");
    }
    if (components.constLast().startsWith(Configuration::getSpecialFileRenamePrefix())) {
        return QStringLiteral("begins with \"%1\", the prefix under which the updater parks replaced files")
                .arg(Configuration::getSpecialFileRenamePrefix());
    }
    return QString();
}

QString ReleaseNames::checkSection(const QString &section)
{
    if (section.isEmpty())
        return QStringLiteral("is empty");
    if (section.contains(QLatin1Char('/')) || section.contains(QLatin1Char('\\')))
        return QStringLiteral("contains \"/\" or \"\\\", which the INI reader would move into every key");
    if (section == QLatin1String(".") || section == QLatin1String(".."))
        return QStringLiteral("is \".\" or \"..\"");
    if (section == deleteSection)
        return QStringLiteral("is the section that lists obsolete files");
    if (section.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("is read as the top level of the INI file, where the updater looks for no files");
    return checkCharacters(section);
}

QString ReleaseNames::checkClientType(const QString &clientType)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9_.-]*$"));
    if (!allowed.match(clientType).hasMatch())
        return QStringLiteral("must be letters, digits, \"_\", \"-\" and \".\", not beginning with \".\"");
    return QString();
}

QString ReleaseNames::checkVersion(const QString &version)
{
    static const QRegularExpression decimal(QStringLiteral("^[1-9][0-9]*$"));
    bool ok = false;
    version.toInt(&ok);
    if (!decimal.match(version).hasMatch() || !ok)
        return QStringLiteral("must be a positive decimal integer without leading zeros, at most 2147483647");
    return QString();
}
