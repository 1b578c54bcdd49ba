#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QGenericPlugin>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

// Loaded into the program under test as "murmelotestdriver:<log file>". It writes one line per event a
// test wants to see, tab-separated:
//     box <title> <text> <buttons>   a message box appeared; it is then answered as a user pressing
//                                    Escape would (Abort, No, OK), buttons are joined by "|"
//     shown <object name> <title>    a top-level widget was shown
//     raised <object name>           a top-level widget was raised
//     details <text>                 the window's details log as it stands when a message box appears,
//                                    just before that box's line; only with MURMELO_TEST_DRIVER_DETAILS set
// Line breaks inside a text are written as "\n".
class TestDriver : public QObject
{
    Q_OBJECT

public:
    explicit TestDriver(const QString &logPath)
        : log(logPath)
    {
        log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
        qApp->installEventFilter(this);
        connect(&boxPoll, &QTimer::timeout, this, &TestDriver::answerBox);
        boxPoll.start(20);
    }

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(object);
        if (widget && widget->isWindow() && !qobject_cast<QMessageBox *>(widget)) {
            if (event->type() == QEvent::Show)
                write({ QStringLiteral("shown"), widget->objectName(), widget->windowTitle() });
            else if (event->type() == QEvent::ZOrderChange)
                write({ QStringLiteral("raised"), widget->objectName() });
        }
        return false;
    }

private:
    void answerBox()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        // Polls since the box was seen first; it stays visible for a moment after it was answered.
        const int polls = box->property("testDriverPolls").toInt();
        box->setProperty("testDriverPolls", polls + 1);
        if (polls == 0) {
            QStringList buttons;
            for (QAbstractButton *button : box->buttons())
                buttons.append(button->text().remove(QLatin1Char('&')));
            for (QWidget *window : QApplication::topLevelWidgets()) {
                auto *details = window->findChild<QTextEdit *>(QStringLiteral("outputTextEdit"));
                if (details && qEnvironmentVariableIsSet("MURMELO_TEST_DRIVER_DETAILS"))
                    write({ QStringLiteral("details"), details->toPlainText() });
            }
            write({ QStringLiteral("box"), box->windowTitle(), box->text(), buttons.join(QLatin1Char('|')) });
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(box, &escape);
        } else if (polls == 10) {
            // Escape means nothing to a box without a cancelling button.
            QAbstractButton *button = box->defaultButton();
            if (!button)
                button = box->buttons().constFirst();
            button->click();
        }
    }

    void write(QStringList fields)
    {
        for (QString &field : fields)
            field.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        log.write(fields.join(QLatin1Char('\t')).toUtf8() + '\n');
    }

    QFile log;
    QTimer boxPoll;
};

class TestDriverPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "testdriverplugin.json")

public:
    QObject *create(const QString &key, const QString &specification) override
    {
        if (key.compare(QLatin1String("murmelotestdriver"), Qt::CaseInsensitive) != 0)
            return nullptr;
        return new TestDriver(specification);
    }
};

#include "testdriverplugin.moc"
