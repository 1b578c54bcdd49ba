#include "ui/batchedlog.h"

#include <QTest>
#include <QTextEdit>

class tst_BatchedLog : public QObject
{
    Q_OBJECT
private slots:
    void everyLineInOrder_data();
    void everyLineInOrder();
    void flushShowsPendingLinesAtOnce();
};

void tst_BatchedLog::everyLineInOrder_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<bool>("flushBetween"); // an explicit flush after every tenth line
    QTest::addColumn<bool>("shown");        // else the edit is shown only after the last line

    QTest::newRow("one line") << 1 << false << true;
    QTest::newRow("a run's worth of lines") << 5000 << false << true;
    QTest::newRow("flushes in between") << 95 << true << true;
    QTest::newRow("hidden until the end") << 5000 << false << false;
}

void tst_BatchedLog::everyLineInOrder()
{
    QFETCH(int, lines);
    QFETCH(bool, flushBetween);
    QFETCH(bool, shown);

    QTextEdit edit;
    edit.setVisible(shown);
    auto *log = new BatchedLog(&edit);
    QStringList expected;
    for (int i = 0; i < lines; ++i) {
        expected.append(QStringLiteral("line %1").arg(i));
        log->append(expected.last());
        if (flushBetween && i % 10 == 9)
            log->flush();
    }
    const QString all = expected.join(QLatin1Char('\n'));
    if (shown) {
        QTRY_COMPARE(edit.toPlainText(), all);
        return;
    }
    // Nobody reads a hidden log: its lines wait, and all of them are there the moment it shows.
    QTest::qWait(200);
    QVERIFY(edit.toPlainText().isEmpty());
    edit.show();
    QCOMPARE(edit.toPlainText(), all);
}

void tst_BatchedLog::flushShowsPendingLinesAtOnce()
{
    QTextEdit edit;
    auto *log = new BatchedLog(&edit);
    log->append(QStringLiteral("first"));
    log->append(QStringLiteral("second"));
    QVERIFY(edit.toPlainText().isEmpty());
    log->flush();
    QCOMPARE(edit.toPlainText(), QStringLiteral("first\nsecond"));
    log->flush();
    QCOMPARE(edit.toPlainText(), QStringLiteral("first\nsecond"));
}

QTEST_MAIN(tst_BatchedLog)
#include "tst_batchedlog.moc"
