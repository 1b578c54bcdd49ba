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

    QTest::newRow("one line") << 1 << false;
    QTest::newRow("a run's worth of lines") << 5000 << false;
    QTest::newRow("flushes in between") << 95 << true;
}

void tst_BatchedLog::everyLineInOrder()
{
    QFETCH(int, lines);
    QFETCH(bool, flushBetween);

    QTextEdit edit;
    auto *log = new BatchedLog(&edit);
    QStringList expected;
    for (int i = 0; i < lines; ++i) {
        expected.append(QStringLiteral("line %1").arg(i));
        log->append(expected.last());
        if (flushBetween && i % 10 == 9)
            log->flush();
    }
    QTRY_COMPARE(edit.toPlainText(), expected.join(QLatin1Char('\n')));
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
