#include "tools/murmelo-publish/releasesummary.h"

#include <QTest>

// What the publisher's closing summary counts, from the two product inis alone.
class tst_ReleaseSummary : public QObject
{
    Q_OBJECT

private slots:
    void counts_data();
    void counts();
};

namespace {

ProductIni::Entry plain(const QString &path, const char *md5, quint64 size)
{
    ProductIni::Entry entry;
    entry.section = QStringLiteral("release");
    entry.key = path;
    entry.file = FileDigest(QLatin1String(md5), size);
    return entry;
}

ProductIni::Entry compressed(const QString &path, const char *md5, quint64 size, const char *unzippedMd5,
                             quint64 unzippedSize)
{
    ProductIni::Entry entry = plain(path + QStringLiteral(".gz"), md5, size);
    entry.unzipped = FileDigest(QLatin1String(unzippedMd5), unzippedSize);
    entry.unzipName = path;
    return entry;
}

ProductIni ini(const QList<ProductIni::Entry> &entries)
{
    ProductIni result;
    result.entries = entries;
    return result;
}

} // namespace

Q_DECLARE_METATYPE(ProductIni)

namespace {

const char a[] = "0cc175b9c0f1b6a831c399e269772661";
const char b[] = "92eb5ffee6ae2fec3ad71c777531578f";
const char c[] = "4a8a08f09d37b73795649038408b5f33";
const char d[] = "8277e0910d750195b448797616e091ad";

} // namespace

void tst_ReleaseSummary::counts_data()
{
    QTest::addColumn<ProductIni>("previous");
    QTest::addColumn<ProductIni>("current");
    QTest::addColumn<QList<int>>("addedChangedRemoved");
    QTest::addColumn<quint64>("downloadBytes");

    const ProductIni base = ini({plain("client", a, 100), plain("lib/x.so", b, 200)});
    QTest::newRow("same release") << base << base << QList<int>{0, 0, 0} << quint64(0);
    QTest::newRow("first release") << ProductIni() << base << QList<int>{2, 0, 0} << quint64(300);
    QTest::newRow("one changed, one removed, one added")
        << base << ini({plain("client", c, 120), plain("notes.txt", d, 7)}) << QList<int>{1, 1, 1} << quint64(127);
    // The updater compares the installed content, so a file that is merely compressed now costs nothing,
    // and a changed compressed file costs its size on the mirror.
    QTest::newRow("now compressed, same content")
        << base << ini({plain("client", a, 100), compressed("lib/x.so", c, 50, b, 200)}) << QList<int>{0, 0, 0}
        << quint64(0);
    QTest::newRow("compressed and changed")
        << base << ini({plain("client", a, 100), compressed("lib/x.so", c, 50, d, 210)}) << QList<int>{0, 1, 0}
        << quint64(50);
    QTest::newRow("MD5 in capitals is the same sum")
        << base << ini({plain("client", QByteArray(a).toUpper().constData(), 100), plain("lib/x.so", b, 200)})
        << QList<int>{0, 0, 0} << quint64(0);
}

void tst_ReleaseSummary::counts()
{
    QFETCH(ProductIni, previous);
    QFETCH(ProductIni, current);
    QFETCH(QList<int>, addedChangedRemoved);
    QFETCH(quint64, downloadBytes);

    const ReleaseSummary summary(previous, current);
    QCOMPARE((QList<int>{summary.added, summary.changed, summary.removed}), addedChangedRemoved);
    QCOMPARE(summary.downloadBytes, downloadBytes);
}

QTEST_GUILESS_MAIN(tst_ReleaseSummary)
#include "tst_releasesummary.moc"
