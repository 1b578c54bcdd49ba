#include "tasks/filedigest.h"
#include "tasks/sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// One row per message for each way of computing the digest this CPU can run.
void addImplementationRows(const char *name, const QByteArray &message, const QByteArray &expectedHex)
{
    QTest::addRow("%s, portable", name) << true << message << expectedHex;
    if (Sha256::hasShaInstructions())
        QTest::addRow("%s, SHA instructions", name) << false << message << expectedHex;
}

} // namespace

class tst_Sha256 : public QObject
{
    Q_OBJECT
private slots:
    void knownDigests_data();
    void knownDigests();
    void splitAnywhere_data();
    void splitAnywhere();
    void fileDigestCarriesSha256_data();
    void fileDigestCarriesSha256();
};

void tst_Sha256::knownDigests_data()
{
    QTest::addColumn<bool>("portable");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("expectedHex");
    addImplementationRows("empty", QByteArray(),
                          "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    addImplementationRows("abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    addImplementationRows("448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                          "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    addImplementationRows("896 bits",
                          "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklm"
                          "nopqrlmnopqrsmnopqrstnopqrstu",
                          "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    addImplementationRows("one million a", QByteArray(1000000, 'a'),
                          "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

void tst_Sha256::knownDigests()
{
    QFETCH(bool, portable);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, expectedHex);
    Sha256 sha(portable ? Sha256::Portable : Sha256::Fastest);
    sha.add(message);
    QCOMPARE(sha.result().toHex(), expectedHex);
}

void tst_Sha256::splitAnywhere_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<QList<qsizetype>>("chunkSizes"); // used in turn until the data is used up

    // Around the padding's length field (55/56 bytes) and the block size, once and twice over.
    for (const qsizetype size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129}) {
        QTest::addRow("%lld bytes whole", qlonglong(size)) << size << QList<qsizetype>{size};
        QTest::addRow("%lld bytes one by one", qlonglong(size)) << size << QList<qsizetype>{1};
    }
    QTest::newRow("empty pieces between") << qsizetype(200) << QList<qsizetype>{0, 63, 0, 1, 0, 65};
    QTest::newRow("55 then 1") << qsizetype(1000) << QList<qsizetype>{55, 1};
    QTest::newRow("56 then 8") << qsizetype(1000) << QList<qsizetype>{56, 8};
    QTest::newRow("63, 64, 65") << qsizetype(3000) << QList<qsizetype>{63, 64, 65};
    QTest::newRow("blocks then a partial one") << qsizetype(5000) << QList<qsizetype>{128, 129, 7};
    QTest::newRow("large odd pieces") << qsizetype(300000) << QList<qsizetype>{65537, 4095, 1};
}

void tst_Sha256::splitAnywhere()
{
    QFETCH(qsizetype, size);
    QFETCH(QList<qsizetype>, chunkSizes);
    const QByteArray data = randomBytes(size, quint32(size) * 7919u + quint32(chunkSizes.size()));

    Sha256 fastest(Sha256::Fastest);
    Sha256 portable(Sha256::Portable);
    qsizetype done = 0;
    for (qsizetype turn = 0; done < size || turn == 0; ++turn) {
        const QByteArrayView chunk = QByteArrayView(data).sliced(
            done, qMin(chunkSizes.at(turn % chunkSizes.size()), size - done));
        fastest.add(chunk);
        portable.add(chunk);
        done += chunk.size();
        // Taking the result in between must leave the running digest alone.
        if (size <= 5000 || done == size) {
            const QByteArray expected = QCryptographicHash::hash(data.first(done), QCryptographicHash::Sha256);
            QCOMPARE(portable.result().toHex(), expected.toHex());
            QCOMPARE(fastest.result().toHex(), expected.toHex());
        }
    }
}

void tst_Sha256::fileDigestCarriesSha256_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("empty") << qsizetype(0);
    QTest::newRow("over a read chunk") << qsizetype((1 << 20) + 65);
}

void tst_Sha256::fileDigestCarriesSha256()
{
    QFETCH(qsizetype, size);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray data = randomBytes(size, 42);
    QFile file(dir.filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), size);
    file.close();

    FileDigest digest;
    QCOMPARE(FileDigest::ofFile(file.fileName(), digest, FileDigest::Md5AndSha256), FileDigest::Done);
    QCOMPARE(digest.sha256, QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(digest.md5, QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex()));
    QCOMPARE(digest.size, quint64(size));
}

QTEST_GUILESS_MAIN(tst_Sha256)
#include "tst_sha256.moc"
