#include "ui/richtextsanitizer.h"

#include <QStringList>

namespace {

// Deeper markup is flattened: its tags go, its text stays.
constexpr int MaxOpenElements = 16;
constexpr int MaxListDepth = 4;
// "&" followed by at most this many name characters and ";" is kept as an entity.
constexpr int MaxEntityLength = 10;

const QStringList InlineElements = { QStringLiteral("b"), QStringLiteral("strong"), QStringLiteral("i"),
                                     QStringLiteral("em"), QStringLiteral("p"), QStringLiteral("a") };
const QStringList ListElements = { QStringLiteral("ul"), QStringLiteral("ol"), QStringLiteral("li") };
// Elements whose content is not text to show.
const QStringList ContentDropped = { QStringLiteral("script"), QStringLiteral("style"), QStringLiteral("head"),
                                     QStringLiteral("title"), QStringLiteral("textarea") };

struct Tag {
    QString name; // lower case; empty for something that is no element (a declaration, stray text)
    bool closing = false;
    QString href;
};

bool isNameChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

// The value of the attribute `name` in the text after a tag's name, or a null string.
QString attribute(QStringView rest, QLatin1String name)
{
    qsizetype i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && (rest[i].isSpace() || rest[i] == QLatin1Char('/')))
            ++i;
        const qsizetype nameStart = i;
        while (i < rest.size() && !rest[i].isSpace() && rest[i] != QLatin1Char('='))
            ++i;
        const QStringView attributeName = rest.mid(nameStart, i - nameStart);
        while (i < rest.size() && rest[i].isSpace())
            ++i;
        QStringView value;
        if (i < rest.size() && rest[i] == QLatin1Char('=')) {
            ++i;
            while (i < rest.size() && rest[i].isSpace())
                ++i;
            if (i < rest.size() && (rest[i] == QLatin1Char('"') || rest[i] == QLatin1Char('\''))) {
                const QChar quote = rest[i++];
                const qsizetype end = rest.indexOf(quote, i);
                const qsizetype stop = end < 0 ? rest.size() : end;
                value = rest.mid(i, stop - i);
                i = stop + 1;
            } else {
                const qsizetype valueStart = i;
                while (i < rest.size() && !rest[i].isSpace())
                    ++i;
                value = rest.mid(valueStart, i - valueStart);
            }
        }
        if (attributeName.compare(name, Qt::CaseInsensitive) == 0)
            return value.toString();
        if (attributeName.isEmpty() && value.isEmpty())
            ++i; // a lone "=" or quote: step over it
    }
    return QString();
}

// The address as the document should get it back. Which addresses may be opened is decided where a
// click opens them; here a link is only text that cannot carry markup.
QString linkTarget(QString href)
{
    href.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return href.trimmed();
}

Tag parseTag(QStringView inside)
{
    Tag tag;
    qsizetype i = 0;
    if (i < inside.size() && inside[i] == QLatin1Char('/')) {
        tag.closing = true;
        ++i;
    }
    const qsizetype nameStart = i;
    while (i < inside.size() && isNameChar(inside[i]))
        ++i;
    tag.name = inside.mid(nameStart, i - nameStart).toString().toLower();
    if (!tag.closing && tag.name == QLatin1String("a"))
        tag.href = linkTarget(attribute(inside.mid(i), QLatin1String("href")));
    return tag;
}

class Writer
{
public:
    explicit Writer(RichTextSanitizer::Flavour flavour) : flavour(flavour) {}

    void text(QStringView piece) { out += piece; }
    void text(QChar c) { out += c; }

    void element(const Tag &tag)
    {
        if (tag.name == QLatin1String("br")) {
            if (!tag.closing)
                out += QLatin1String("<br>");
            return;
        }
        const bool list = ListElements.contains(tag.name);
        if (!InlineElements.contains(tag.name) && !(list && flavour == RichTextSanitizer::Changelog))
            return;
        if (tag.closing)
            close(tag.name);
        else
            open(tag);
    }

    QString finish()
    {
        while (!openElements.isEmpty())
            closeTop();
        return out;
    }

private:
    void open(const Tag &tag)
    {
        if (openElements.size() >= MaxOpenElements)
            return;
        if (tag.name == QLatin1String("a")) {
            // A link inside a link, or one without an address, keeps only its text.
            if (tag.href.isEmpty() || openElements.contains(QLatin1String("a")))
                return;
            out += QLatin1String("<a href=\"") + tag.href.toHtmlEscaped() + QLatin1String("\">");
            openElements.append(tag.name);
            return;
        }
        // A new item or paragraph ends the one before, as in HTML.
        if ((tag.name == QLatin1String("li") || tag.name == QLatin1String("p")) && !openElements.isEmpty()
            && openElements.constLast() == tag.name) {
            closeTop();
        }
        if (tag.name == QLatin1String("ul") || tag.name == QLatin1String("ol")) {
            if (listDepth >= MaxListDepth)
                return;
            ++listDepth;
        }
        out += QLatin1Char('<') + tag.name + QLatin1Char('>');
        openElements.append(tag.name);
    }

    // Closes up to the innermost open element of that name; a closing tag for nothing open is dropped.
    void close(const QString &name)
    {
        if (!openElements.contains(name))
            return;
        while (openElements.constLast() != name)
            closeTop();
        closeTop();
    }

    void closeTop()
    {
        const QString name = openElements.takeLast();
        if (name == QLatin1String("ul") || name == QLatin1String("ol"))
            --listDepth;
        out += QLatin1String("</") + name + QLatin1Char('>');
    }

    RichTextSanitizer::Flavour flavour;
    QString out;
    QStringList openElements;
    int listDepth = 0;
};

// Length of a character reference at the start of text ("&amp;", "&#228;", "&#x20AC;"), or 0.
qsizetype entityLength(QStringView text)
{
    const qsizetype limit = qMin(text.size(), qsizetype(MaxEntityLength + 2));
    qsizetype i = 1;
    if (i < limit && text[i] == QLatin1Char('#'))
        ++i;
    const qsizetype nameStart = i;
    while (i < limit && isNameChar(text[i]))
        ++i;
    return i > nameStart && i < limit && text[i] == QLatin1Char(';') ? i + 1 : 0;
}

} // namespace

QString RichTextSanitizer::sanitize(const QString &markup, Flavour flavour)
{
    Writer writer(flavour);
    const QStringView input(markup);
    const qsizetype n = input.size();
    // The next ">" at or after the current position; searched again only once passed, so that a text
    // full of "<" without ">" is not scanned to its end once per "<".
    qsizetype nextTagEnd = -1;
    qsizetype i = 0;
    while (i < n) {
        const QChar c = input[i];
        if (c == QLatin1Char('&')) {
            const qsizetype length = entityLength(input.mid(i));
            writer.text(length > 0 ? input.mid(i, length) : QStringView(u"&amp;"));
            i += qMax(length, qsizetype(1));
            continue;
        }
        if (c == QLatin1Char('>')) {
            writer.text(u"&gt;");
            ++i;
            continue;
        }
        if (c != QLatin1Char('<')) {
            writer.text(c);
            ++i;
            continue;
        }

        // "a < b" is text: markup begins with a name, "/", "!" or "?" right after the "<".
        const QChar after = i + 1 < n ? input[i + 1] : QChar();
        if (!isNameChar(after) && after != QLatin1Char('/') && after != QLatin1Char('!')
            && after != QLatin1Char('?')) {
            writer.text(u"&lt;");
            ++i;
            continue;
        }
        if (input.mid(i, 4) == QLatin1String("<!--")) {
            const qsizetype end = input.indexOf(QLatin1String("-->"), i + 4);
            i = end < 0 ? n : end + 3;
            continue;
        }
        if (nextTagEnd != -2 && nextTagEnd < i) {
            nextTagEnd = input.indexOf(QLatin1Char('>'), i);
            if (nextTagEnd < 0)
                nextTagEnd = -2; // no ">" anywhere after this: every further "<" is text
        }
        if (nextTagEnd == -2) {
            writer.text(u"&lt;");
            ++i;
            continue;
        }
        const Tag tag = parseTag(input.mid(i + 1, nextTagEnd - i - 1));
        i = nextTagEnd + 1;
        if (!tag.closing && ContentDropped.contains(tag.name)) {
            const QString closing = QLatin1String("</") + tag.name;
            const qsizetype end = input.indexOf(closing, i, Qt::CaseInsensitive);
            const qsizetype close = end < 0 ? -1 : input.indexOf(QLatin1Char('>'), end);
            i = close < 0 ? n : close + 1;
            continue;
        }
        writer.element(tag);
    }
    return writer.finish();
}
