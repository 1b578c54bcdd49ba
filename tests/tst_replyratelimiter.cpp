#include "tools/murmelo-updated/replyratelimiter.h"

#include <QTest>

class tst_ReplyRateLimiter : public QObject
{
    Q_OBJECT

private slots:
    void burstThenSteadyRate();
    void otherAddressesKeepTheirBudget();
    void zeroMeansNoLimit();
};

namespace {
int allowedInARow(ReplyRateLimiter &limiter, const QHostAddress &sender, qint64 nowMs, int attempts)
{
    int allowed = 0;
    for (int i = 0; i < attempts; ++i)
        allowed += limiter.allow(sender, nowMs) ? 1 : 0;
    return allowed;
}
}

void tst_ReplyRateLimiter::burstThenSteadyRate()
{
    ReplyRateLimiter limiter(5);
    const QHostAddress sender(QStringLiteral("192.0.2.1"));
    const qint64 start = 1000000;
    QCOMPARE(allowedInARow(limiter, sender, start, 100), 5);
    // One reply every 200 ms after the burst, however many requests come.
    QCOMPARE(allowedInARow(limiter, sender, start + 100, 100), 0);
    QCOMPARE(allowedInARow(limiter, sender, start + 200, 100), 1);
    QCOMPARE(allowedInARow(limiter, sender, start + 1200, 100), 5);
    // After a quiet second the whole burst is back, and no more.
    QCOMPARE(allowedInARow(limiter, sender, start + 60000, 100), 5);
}

void tst_ReplyRateLimiter::otherAddressesKeepTheirBudget()
{
    ReplyRateLimiter limiter(3);
    const QHostAddress victim(QStringLiteral("192.0.2.1"));
    QCOMPARE(allowedInARow(limiter, victim, 5000, 1000), 3);
    // Addresses share buckets only by hash collision (1 in 4096 each), so nearly all must pass.
    int passing = 0;
    for (int i = 2; i < 22; ++i)
        passing += limiter.allow(QHostAddress(QStringLiteral("192.0.2.%1").arg(i)), 5000) ? 1 : 0;
    QVERIFY2(passing >= 19, qPrintable(QString::number(passing)));
}

void tst_ReplyRateLimiter::zeroMeansNoLimit()
{
    ReplyRateLimiter limiter(0);
    QCOMPARE(allowedInARow(limiter, QHostAddress::LocalHost, 0, 10000), 10000);
}

QTEST_GUILESS_MAIN(tst_ReplyRateLimiter)
#include "tst_replyratelimiter.moc"
