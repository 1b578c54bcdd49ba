#pragma once

#include <QString>

// Rich text from outside the program (the news line from the update server, a changelog from a mirror)
// is reduced to a small allow-list before any document lays it out: text, bold and italic, links, line
// breaks and paragraphs, and for the changelog simple lists. Everything else goes: images and style sheets (the toolkit would load them from disk or the network), tables and
// other blocks (deep nesting makes layout time grow exponentially), scripts, styles and comments with
// their content, and every attribute but a link's address. Nesting is capped, so what comes out lays
// out in time proportional to its length. The work is one pass over the text.
class RichTextSanitizer
{
public:
    enum Flavour {
        NewsLine,  // one line of news: inline markup and line breaks
        Changelog, // the same plus bulleted and numbered lists
    };

    // Markup that QTextDocument::setHtml may be given safely.
    static QString sanitize(const QString &markup, Flavour flavour);
};
