#pragma once

#include <QObject>
#include <QStringList>

class QTextEdit;
class QTimer;

// Collects log lines and appends them to a text edit a batch at a time: a run with thousands of files
// reports thousands of lines, and laying the document out again for each one would cost more than the
// work they report. While the text edit is hidden, as it is unless the user asks for the details, the
// lines wait until it is shown. Every line arrives, in order; flush() puts the pending ones in at once.
class BatchedLog : public QObject
{
    Q_OBJECT
public:
    explicit BatchedLog(QTextEdit *textEdit);

    void append(const QString &line);
    void flush();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTextEdit *textEdit;
    QTimer *timer;
    QStringList pending;
};
