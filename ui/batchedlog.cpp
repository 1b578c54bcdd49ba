#include "ui/batchedlog.h"

#include <QEvent>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

namespace {
// Short enough that the log looks live to a reader.
constexpr int FlushDelayMs = 50;
}

BatchedLog::BatchedLog(QTextEdit *textEdit) : QObject(textEdit), textEdit(textEdit), timer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setInterval(FlushDelayMs);
    connect(timer, &QTimer::timeout, this, &BatchedLog::flush);
    textEdit->installEventFilter(this);
}

void BatchedLog::append(const QString &line)
{
    pending.append(line);
    if (textEdit->isVisible() && !timer->isActive())
        timer->start();
}

bool BatchedLog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show)
        flush();
    return QObject::eventFilter(watched, event);
}

void BatchedLog::flush()
{
    timer->stop();
    if (pending.isEmpty())
        return;
    // One edit block: the document is laid out once for the whole batch.
    QTextCursor cursor(textEdit->document());
    cursor.beginEditBlock();
    for (const QString &line : std::as_const(pending))
        textEdit->append(line);
    cursor.endEditBlock();
    pending.clear();
}
