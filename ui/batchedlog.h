#pragma once

#include <QObject>
#include <QStringList>

class QTextEdit;
class QTimer;

// Collects log lines and appends them to a text edit a batch at a time: a run with thousands of files
// reports thousands of lines, and laying the document out again for each one would cost more than the
// work they report. Every line arrives, in order; flush() makes the pending ones visible at once.
class BatchedLog : public QObject
{
    Q_OBJECT
public:
    explicit BatchedLog(QTextEdit *textEdit);

    void append(const QString &line);
    void flush();

private:
    QTextEdit *textEdit;
    QTimer *timer;
    QStringList pending;
};
