#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

// Answers modal message boxes for a test: while it exists, every box that becomes the active modal
// widget is recorded and closed with the chosen button, so that code which opens a box with exec()
// never blocks the test.
class MessageBoxAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok, QObject *parent = nullptr);

    void setAnswer(QMessageBox::StandardButton answer);

    QList<Box> boxes;

private:
    void poll();

    QTimer timer;
    QMessageBox::StandardButton answer;
};
