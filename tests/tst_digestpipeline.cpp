#include "support/testfiles.h"
#include "tasks/digestpipeline.h"

#include <QSemaphore>
#include <QTest>
#include <QThreadPool>

namespace {

// Keeps every thread of the global pool busy until it goes out of scope.
class BusyPool
{
public:
    BusyPool()
    {
        threads = QThreadPool::globalInstance()->maxThreadCount();
        for (int i = 0; i < threads; ++i)
            QThreadPool::globalInstance()->start([this] {
                started.release();
                release.acquire();
            });
        started.acquire(threads);
    }
    ~BusyPool() { release.release(threads); QThreadPool::globalInstance()->waitForDone(); }

private:
    int threads = 0;
    QSemaphore started;
    QSemaphore release;
};

} // namespace

class tst_DigestPipeline : public QObject
{
    Q_OBJECT
private slots:
    void sameDigestAsOneThread_data();
    void sameDigestAsOneThread();
    void droppedUnfinished();
};

void tst_DigestPipeline::sameDigestAsOneThread_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<qsizetype>("chunk");
    QTest::addColumn<bool>("poolBusy");
    const qsizetype buffer = 256 * 1024;
    for (bool busy : {false, true}) {
        const char *pool = busy ? "pool busy" : "pool idle";
        QTest::addRow("empty, %s", pool) << qsizetype(0) << qsizetype(1) << busy;
        QTest::addRow("one byte, %s", pool) << qsizetype(1) << qsizetype(1) << busy;
        QTest::addRow("one buffer less a byte, %s", pool) << buffer - 1 << qsizetype(65536) << busy;
        QTest::addRow("one buffer in one piece, %s", pool) << buffer << buffer << busy;
        QTest::addRow("odd pieces across buffers, %s", pool) << 9 * buffer + 7 << qsizetype(99991) << busy;
        QTest::addRow("pieces larger than all buffers, %s", pool) << 11 * buffer + 3 << 5 * buffer + 1 << busy;
    }
}

void tst_DigestPipeline::sameDigestAsOneThread()
{
    QFETCH(qsizetype, size);
    QFETCH(qsizetype, chunk);
    QFETCH(bool, poolBusy);
    const QByteArray content = randomBytes(size, quint32(size));
    FileDigest::Stream expected(FileDigest::Md5AndSha256);
    expected.add(content);

    std::optional<BusyPool> busy;
    if (poolBusy)
        busy.emplace();
    DigestPipeline pipeline(FileDigest::Md5AndSha256);
    for (qsizetype at = 0; at < size; at += chunk)
        pipeline.add(QByteArrayView(content).sliced(at, qMin(chunk, size - at)));
    const FileDigest digest = pipeline.result();
    QCOMPARE(digest.md5, expected.result().md5);
    QCOMPARE(digest.sha256, expected.result().sha256);
    QCOMPARE(digest.size, quint64(size));
}

void tst_DigestPipeline::droppedUnfinished()
{
    // An unpacking that fails half way drops its digest: that must neither hang nor leave the pool thread.
    {
        DigestPipeline pipeline;
        pipeline.add(randomBytes(3 * 256 * 1024 + 5, 5));
    }
    QVERIFY(QThreadPool::globalInstance()->waitForDone(5000));
}

QTEST_GUILESS_MAIN(tst_DigestPipeline)
#include "tst_digestpipeline.moc"
