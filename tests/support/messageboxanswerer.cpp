#include "support/messageboxanswerer.h"

#include <QAbstractButton>
#include <QApplication>

MessageBoxAnswerer::MessageBoxAnswerer(QMessageBox::StandardButton answer, QObject *parent)
    : QObject(parent)
    , answer(answer)
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxAnswerer::poll);
    timer.start(10);
}

void MessageBoxAnswerer::setAnswer(QMessageBox::StandardButton answer)
{
    this->answer = answer;
}

void MessageBoxAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    boxes.append({ box->windowTitle(), box->text(), box->icon() });
    // A box without the chosen button is closed with its first one; the test sees it in boxes.
    QAbstractButton *button = box->button(answer);
    if (!button)
        button = box->buttons().constFirst();
    button->click();
}
