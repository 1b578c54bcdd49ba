#include "publishprogress.h"

#include <QLocale>

#include <unistd.h>

PublishProgress::PublishProgress(QTextStream &out, bool terminal, qint64 totalBytes, int intervalMs)
    : out(out), terminal(terminal), total(totalBytes), intervalMs(intervalMs)
{
}

bool PublishProgress::standardOutputIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

void PublishProgress::advance(qint64 bytes)
{
    done += bytes;
    if (terminal && (!drawn || sinceDrawn.hasExpired(intervalMs)))
        draw();
}

void PublishProgress::draw()
{
    const QLocale locale = QLocale::c();
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    // Carriage return and "erase to end of line": the line is redrawn in place.
    out << "\r\033[K"
        << QStringLiteral("%1 of %2 (%3%)")
               .arg(locale.formattedDataSize(done), locale.formattedDataSize(total))
               .arg(percent);
    out.flush();
    sinceDrawn.start();
    drawn = true;
}

void PublishProgress::finish()
{
    if (!drawn)
        return;
    out << "\r\033[K";
    out.flush();
    drawn = false;
}
