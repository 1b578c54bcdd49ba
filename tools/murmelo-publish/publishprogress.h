#pragma once

#include <QElapsedTimer>
#include <QTextStream>

// The line a long publish keeps redrawing on a terminal while it hashes and compresses:
//   "1.20 GiB of 4.00 GiB (30%)"
// at most once per interval, erased again by finish(). Where the output is not a terminal (a log, a pipe,
// a build job) it writes nothing, so that logs hold only the lines that say what was published.
class PublishProgress
{
public:
    PublishProgress(QTextStream &out, bool terminal, qint64 totalBytes, int intervalMs = 250);

    // Whether standard output is a terminal.
    static bool standardOutputIsTerminal();

    void advance(qint64 bytes);
    void finish();

private:
    void draw();

    QTextStream &out;
    bool terminal;
    qint64 total;
    qint64 done = 0;
    int intervalMs;
    QElapsedTimer sinceDrawn;
    bool drawn = false;
};
