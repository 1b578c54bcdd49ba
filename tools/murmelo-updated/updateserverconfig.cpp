#include "updateserverconfig.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>

namespace {

// The clients index the version list by channel in this order.
const QStringList channelNames = {QStringLiteral("stable"), QStringLiteral("beta"), QStringLiteral("alpha")};

// Everything a valid file can announce fits in a few kilobytes; anything much larger is a mistake.
constexpr qint64 MaxFileSize = 64 * 1024;

struct Value
{
    QString text;
    int line = 0;
};

// Why a value cannot travel as the clients read it (Latin-1, split at commas where `commaSplits`),
// or an empty string when it can.
QString textProblem(const QString &text, bool commaSplits, bool richText)
{
    for (const char32_t c : text.toUcs4()) {
        if (c > 0xff) {
            const QString codePoint = QString::number(quint32(c), 16).toUpper().rightJustified(4, QLatin1Char('0'));
            const QString problem =
                QStringLiteral("the character U+%1 is not Latin-1, the clients' text encoding").arg(codePoint);
            return richText ? problem + QStringLiteral(" (write it as the HTML reference &#%1;)").arg(quint32(c))
                            : problem;
        }
        if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            return QStringLiteral("control characters cannot be sent");
        if (commaSplits && c == ',')
            return QStringLiteral("a comma would split the reply at the wrong place");
    }
    return {};
}

} // namespace

bool UpdateServerConfig::load(const QString &fileName, QString *errorMessage)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorMessage = QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString());
        return false;
    }
    const QByteArray contents = file.read(MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        *errorMessage = QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString());
        return false;
    }
    if (contents.size() > MaxFileSize) {
        *errorMessage = QStringLiteral("%1: larger than %2 bytes, not a configuration file")
                            .arg(fileName)
                            .arg(MaxFileSize);
        return false;
    }
    return parse(contents, fileName, errorMessage);
}

bool UpdateServerConfig::parse(const QByteArray &contents, const QString &fileName, QString *errorMessage)
{
    const auto fail = [&](int line, const QString &message) {
        *errorMessage = line > 0 ? QStringLiteral("%1:%2: %3").arg(fileName).arg(line).arg(message)
                                 : QStringLiteral("%1: %2").arg(fileName, message);
        return false;
    };
    const QHash<QString, QStringList> knownKeys = {
        {QStringLiteral("stable"), {QStringLiteral("version"), QStringLiteral("name")}},
        {QStringLiteral("beta"), {QStringLiteral("version"), QStringLiteral("name")}},
        {QStringLiteral("alpha"), {QStringLiteral("version"), QStringLiteral("name")}},
        {QStringLiteral("news"), {QStringLiteral("text")}},
        {QStringLiteral("banner"), {QStringLiteral("image"), QStringLiteral("click")}},
    };

    QHash<QString, int> sectionLines;
    QHash<QString, QHash<QString, Value>> values;
    QString section;
    const QList<QByteArray> lines = contents.split('\n');
    for (int index = 0; index < lines.size(); ++index) {
        const int lineNumber = index + 1;
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString line = QString(decoder(lines.at(index))).trimmed();
        if (decoder.hasError())
            return fail(lineNumber, QStringLiteral("not valid UTF-8"));
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;

        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')))
                return fail(lineNumber, QStringLiteral("a section header must end with \"]\""));
            section = line.mid(1, line.size() - 2).trimmed();
            if (!knownKeys.contains(section))
                return fail(lineNumber, QStringLiteral("unknown section [%1] (known: stable, beta, alpha, news, banner)")
                                            .arg(section));
            if (sectionLines.contains(section))
                return fail(lineNumber, QStringLiteral("section [%1] appears a second time (first on line %2)")
                                            .arg(section)
                                            .arg(sectionLines.value(section)));
            sectionLines.insert(section, lineNumber);
            continue;
        }

        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(lineNumber, QStringLiteral("expected \"key = value\" or \"[section]\""));
        const QString key = line.left(equals).trimmed();
        if (section.isEmpty())
            return fail(lineNumber, QStringLiteral("\"%1\" stands before the first section").arg(key));
        const QStringList allowed = knownKeys.value(section);
        if (!allowed.contains(key))
            return fail(lineNumber, QStringLiteral("unknown key \"%1\" in [%2] (known: %3)")
                                        .arg(key, section, allowed.join(QLatin1String(", "))));
        if (values[section].contains(key))
            return fail(lineNumber, QStringLiteral("\"%1\" is set a second time in [%2] (first on line %3)")
                                        .arg(key, section)
                                        .arg(values[section].value(key).line));
        values[section].insert(key, Value{line.mid(equals + 1).trimmed(), lineNumber});
    }

    QList<Release> releases;
    for (const QString &channel : channelNames) {
        Release release;
        if (sectionLines.contains(channel)) {
            const QHash<QString, Value> keys = values.value(channel);
            if (!keys.contains(QStringLiteral("version")))
                return fail(sectionLines.value(channel), QStringLiteral("[%1] has no version").arg(channel));
            const Value version = keys.value(QStringLiteral("version"));
            bool ok = false;
            release.version = version.text.toInt(&ok);
            // The clients read the number with a plain integer conversion, and 0 means "no version" to them.
            static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
            if (!digits.match(version.text).hasMatch() || !ok || release.version < 1)
                return fail(version.line,
                            QStringLiteral("the version must be a whole number from 1 to 2147483647, not \"%1\"")
                                .arg(version.text));
            const Value name = keys.value(QStringLiteral("name"));
            const QString problem = textProblem(name.text, true, false);
            if (!problem.isEmpty())
                return fail(name.line, QStringLiteral("version name: %1").arg(problem));
            release.name = name.text;
        }
        releases.append(release);
    }
    if (std::all_of(releases.cbegin(), releases.cend(), [](const Release &release) { return release.version == 0; }))
        return fail(0, QStringLiteral("no channel has a release; give [stable], [beta] or [alpha] a version"));
    const QByteArray versionReply = versionList(releases);
    if (versionReply.size() > MaxVersionReplySize)
        return fail(0, QStringLiteral("the version list is %1 bytes long, but clients read only %2; shorten the names")
                           .arg(versionReply.size())
                           .arg(MaxVersionReplySize));

    // An empty datagram could read as a failed receive, so empty news is sent as its terminating zero byte.
    QByteArray newsReply(1, '\0');
    if (sectionLines.contains(QStringLiteral("news"))) {
        const QHash<QString, Value> keys = values.value(QStringLiteral("news"));
        if (!keys.contains(QStringLiteral("text")))
            return fail(sectionLines.value(QStringLiteral("news")), QStringLiteral("[news] has no text"));
        const Value text = keys.value(QStringLiteral("text"));
        const QString problem = textProblem(text.text, false, true);
        if (!problem.isEmpty())
            return fail(text.line, QStringLiteral("news text: %1").arg(problem));
        if (text.text.size() > MaxNewsReplySize)
            return fail(text.line, QStringLiteral("the news text is %1 bytes long, but clients read only %2")
                                       .arg(text.text.size())
                                       .arg(MaxNewsReplySize));
        if (!text.text.isEmpty())
            newsReply = text.text.toLatin1();
    }

    QByteArray bannerReply;
    if (sectionLines.contains(QStringLiteral("banner"))) {
        const int bannerLine = sectionLines.value(QStringLiteral("banner"));
        const QHash<QString, Value> keys = values.value(QStringLiteral("banner"));
        QList<QByteArray> urls;
        for (const QString &key : {QStringLiteral("image"), QStringLiteral("click")}) {
            if (!keys.contains(key))
                return fail(bannerLine, QStringLiteral("[banner] has no %1 URL").arg(key));
            const Value value = keys.value(key);
            const QString problem = textProblem(value.text, true, false);
            if (!problem.isEmpty())
                return fail(value.line, QStringLiteral("%1 URL: %2").arg(key, problem));
            const QUrl url(value.text, QUrl::StrictMode);
            if (!url.isValid() || url.isRelative() || url.host().isEmpty())
                return fail(value.line, QStringLiteral("\"%1\" is not an absolute URL with a host").arg(value.text));
            // The updater fetches the image itself, over HTTP.
            if (key == QLatin1String("image") && url.scheme() != QLatin1String("http")
                && url.scheme() != QLatin1String("https"))
                return fail(value.line, QStringLiteral("the image URL must use http or https"));
            urls.append(value.text.toLatin1());
        }
        bannerReply = urls.join(',');
        if (bannerReply.size() > MaxBannerReplySize)
            return fail(bannerLine, QStringLiteral("the banner reply (image URL, comma, click URL) is %1 bytes long, "
                                                   "but clients read only %2")
                                        .arg(bannerReply.size())
                                        .arg(MaxBannerReplySize));
    }

    versionBytes = versionReply;
    newsBytes = newsReply;
    bannerBytes = bannerReply;
    return true;
}

QByteArray UpdateServerConfig::versionList(const QList<Release> &releases)
{
    QList<QByteArray> entries;
    for (const Release &release : releases) {
        QByteArray entry;
        if (release.version > 0) {
            entry = QByteArray::number(release.version);
            if (!release.name.isEmpty())
                entry += '#' + release.name.toLatin1();
        }
        entries.append(entry);
    }
    while (!entries.isEmpty() && entries.constLast().isEmpty())
        entries.removeLast();
    return entries.join(',');
}
