#include "net/checksignaturetaskspecification.h"
#include "net/crypt.h"

#include "support/runcommand.h"
#include "support/testfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_CheckSignatureTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void md5_data();
    void md5();
    void rsa_data();
    void rsa();
    void endState_data();
    void endState();
    void knownDigest_data();
    void knownDigest();
    void verdictAfterResetIsIgnored();
    void listenerMayResetOnVerdict();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    // Runs one check to its end and logs messages, the verdict and the end signal in emission order.
    void check(const QString &name, const QString &expectedMd5, bool cancelOnFailure, QStringList &log,
               TaskSpecification::TaskState &end);

    std::unique_ptr<QTemporaryDir> dir;
    bool builtWithDemoKey = false;
};

static const QString demoPrivateKey = QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/private.key");

void tst_CheckSignatureTaskSpecification::initTestCase()
{
    crypt_init();
    QFile demoPublicKey(QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/public.key"));
    QVERIFY(demoPublicKey.open(QIODevice::ReadOnly));
    builtWithDemoKey =
            demoPublicKey.readAll() == QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), KEY_BLOCK_SIZE);
}

void tst_CheckSignatureTaskSpecification::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_CheckSignatureTaskSpecification::check(const QString &name, const QString &expectedMd5,
                                                bool cancelOnFailure, QStringList &log,
                                                TaskSpecification::TaskState &end)
{
    CheckSignatureTaskSpecification task(path(name), expectedMd5, cancelOnFailure, nullptr, 1.0);
    connect(&task, &TaskSpecification::message, this, [&log](const QString &text) { log.append(text); });
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&log, &task](bool pass, CheckSignatureTaskSpecification *sender) {
                QCOMPARE(sender, &task);
                log.append(pass ? "pass" : "fail");
            });
    bool ended = false;
    connect(&task, &TaskSpecification::finished, this, [&] { log.append("finished"); ended = true; });
    connect(&task, &TaskSpecification::canceled, this, [&] { log.append("canceled"); ended = true; });
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended, 30000);
    end = task.getState();
}

void tst_CheckSignatureTaskSpecification::md5_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedMd5");
    QTest::addColumn<bool>("pass");

    const QByteArray hello("hello\n");
    QTest::newRow("lower case") << hello << "b1946ac92492d2347c6235b4d2611184" << true;
    QTest::newRow("upper case") << hello << "B1946AC92492D2347C6235B4D2611184" << true;
    QTest::newRow("differs") << hello << "b1946ac92492d2347c6235b4d2611185" << false;
    QTest::newRow("prefix of the sum") << hello << "b1946ac92492d2347c6235b4d261118" << false;
    QTest::newRow("empty file") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e" << true;
    QTest::newRow("empty file, other sum") << QByteArray() << "b1946ac92492d2347c6235b4d2611184" << false;

    // Several read chunks, the last one partial: a chunking fault changes the sum.
    QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = char(i % 251);
    const QString largeMd5 = QString::fromLatin1(md5Hex(large));
    QTest::newRow("larger than a chunk") << large << largeMd5 << true;
    large[large.size() - 1] = 'x';
    QTest::newRow("last byte of a large file differs") << large << largeMd5 << false;
}

void tst_CheckSignatureTaskSpecification::md5()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedMd5);
    QFETCH(bool, pass);
    QVERIFY(writeFile(path("file"), content));

    QStringList log;
    TaskSpecification::TaskState end;
    check("file", expectedMd5, false, log, end);
    const QStringList expected = pass ? QStringList{"pass", "finished"}
                                      : QStringList{"Signature check failed for " + path("file"), "fail", "finished"};
    QCOMPARE(log, expected);
    QCOMPARE(end, TaskSpecification::StateFinished);
}

void tst_CheckSignatureTaskSpecification::rsa_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("messages"); // empty: the check passes

    const QString failed = QStringLiteral("Signature check failed for %1");
    QTest::newRow("signed by keytool") << "keytool" << QStringList();
    QTest::newRow("signed by openssl") << "openssl" << QStringList();
    QTest::newRow("empty file signed") << "empty" << QStringList();
    QTest::newRow("tampered file") << "tampered" << QStringList{failed};
    QTest::newRow("signature one byte short") << "short" << QStringList{failed};
    QTest::newRow("signature one byte long") << "long" << QStringList{failed};
    QTest::newRow("empty signature") << "emptysig" << QStringList{failed};
    QTest::newRow("signature missing")
            << "nosig" << QStringList{QStringLiteral("Could not open file %1.sig for reading"), failed};
    QTest::newRow("file missing") << "nofile" << QStringList{QStringLiteral("Could not open file %1 for reading"),
                                                             failed};
}

void tst_CheckSignatureTaskSpecification::rsa()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, messages);
    if (messages.isEmpty() && !builtWithDemoKey)
        QSKIP("built with another key than keys/demo/public.key; only its private key can sign");

    const QString file = path("product.ini");
    QVERIFY(writeFile(path("product.ini"), setup == "empty" ? QByteArray() : QByteArray("[release]\nupdate=1::2\n")));
    if (setup == "openssl") {
        // The demo private key block as OpenSSL reads it; the padding after the DER is ignored.
        const QStringList pss{"-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8"};
        QCOMPARE(runCommand("openssl", {"rsa", "-inform", "DER", "-in", demoPrivateKey, "-out", "demo.pem"},
                            dir->path()).exitCode, 0);
        QCOMPARE(runCommand("openssl", QStringList{"dgst"} + pss + QStringList{"-sign", "demo.pem", "-out",
                                                                              "product.ini.sig", "product.ini"},
                            dir->path()).exitCode, 0);
    } else if (setup != "nosig") {
        sign_file(QFile::encodeName(demoPrivateKey), QFile::encodeName(file));
    }
    QFile sig(file + ".sig");
    if (setup == "tampered")
        QVERIFY(writeFile(path("product.ini"), "[release]\nupdate=1::3\n"));
    else if (setup == "short")
        QVERIFY(sig.resize(127));
    else if (setup == "long")
        QVERIFY(sig.resize(129));
    else if (setup == "emptysig")
        QVERIFY(sig.resize(0));
    else if (setup == "nofile")
        QVERIFY(QFile::remove(file));

    QStringList log;
    TaskSpecification::TaskState end;
    check("product.ini", QString(), false, log, end);
    QStringList expected;
    for (const QString &text : std::as_const(messages))
        expected.append(text.arg(file));
    expected << (messages.isEmpty() ? "pass" : "fail") << "finished";
    QCOMPARE(log, expected);
    QCOMPARE(end, TaskSpecification::StateFinished);
}

void tst_CheckSignatureTaskSpecification::endState_data()
{
    QTest::addColumn<bool>("pass");
    QTest::addColumn<bool>("cancelOnFailure");
    QTest::addColumn<QString>("endSignal");
    QTest::addColumn<TaskSpecification::TaskState>("end");

    QTest::newRow("pass") << true << false << "finished" << TaskSpecification::StateFinished;
    QTest::newRow("pass, cancel on failure") << true << true << "finished" << TaskSpecification::StateFinished;
    QTest::newRow("fail") << false << false << "finished" << TaskSpecification::StateFinished;
    QTest::newRow("fail, cancel on failure") << false << true << "canceled" << TaskSpecification::StateErrorCanceled;
}

void tst_CheckSignatureTaskSpecification::endState()
{
    QFETCH(bool, pass);
    QFETCH(bool, cancelOnFailure);
    QFETCH(QString, endSignal);
    QFETCH(TaskSpecification::TaskState, end);
    QVERIFY(writeFile(path("file"), "hello\n"));

    QStringList log;
    TaskSpecification::TaskState state;
    check("file", pass ? "b1946ac92492d2347c6235b4d2611184" : "00000000000000000000000000000000",
          cancelOnFailure, log, state);
    QCOMPARE(log.mid(log.size() - 2), (QStringList{pass ? "pass" : "fail", endSignal}));
    QCOMPARE(state, end);
}

void tst_CheckSignatureTaskSpecification::knownDigest_data()
{
    QTest::addColumn<bool>("onDisk"); // "hello\n" on disk; without it, only the known sums can pass
    QTest::addColumn<QString>("knownMd5");
    QTest::addColumn<QString>("knownSha256");
    QTest::addColumn<QString>("expectedSha256");
    QTest::addColumn<QStringList>("log");

    const QString md5 = QStringLiteral("b1946ac92492d2347c6235b4d2611184");
    const QString otherMd5 = QStringLiteral("00000000000000000000000000000000");
    const QString sha = QStringLiteral("5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03");
    const QString otherSha = QString(64, QLatin1Char('0'));
    const QString failed = QStringLiteral("Signature check failed for %1");
    const QString shaDiffers = QStringLiteral("SHA-256 sum of %1 differs from the release manifest");

    QTest::newRow("known sum, file gone") << false << md5 << QString() << QString()
                                          << QStringList{"pass", "finished"};
    QTest::newRow("known sum in upper case") << false << md5.toUpper() << QString() << QString()
                                             << QStringList{"pass", "finished"};
    // What was written is what counts, not what lies there now.
    QTest::newRow("known sum differs, file right") << true << otherMd5 << QString() << QString()
                                                   << QStringList{failed, "fail", "finished"};
    QTest::newRow("both known, file gone") << false << md5 << sha << sha << QStringList{"pass", "finished"};
    QTest::newRow("known SHA-256 differs") << false << md5 << otherSha << sha
                                           << QStringList{shaDiffers, failed, "fail", "finished"};
    QTest::newRow("MD5 known, SHA-256 not: file read") << true << md5 << QString() << sha
                                                       << QStringList{"pass", "finished"};
    QTest::newRow("MD5 known, SHA-256 not, file gone")
            << false << md5 << QString() << sha
            << QStringList{QStringLiteral("Could not open file %1 for reading"), failed, "fail", "finished"};
}

void tst_CheckSignatureTaskSpecification::knownDigest()
{
    QFETCH(bool, onDisk);
    QFETCH(QString, knownMd5);
    QFETCH(QString, knownSha256);
    QFETCH(QString, expectedSha256);
    QFETCH(QStringList, log);
    if (onDisk)
        QVERIFY(writeFile(path("file"), "hello\n"));

    CheckSignatureTaskSpecification task(path("file"), "b1946ac92492d2347c6235b4d2611184", false, nullptr, 1.0);
    FileDigest known(knownMd5, 6);
    known.sha256 = knownSha256;
    task.setKnownDigest(known);
    task.setExpectedSha256(expectedSha256);
    QStringList seen;
    connect(&task, &TaskSpecification::message, this, [&seen](const QString &text) { seen.append(text); });
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&seen](bool pass) { seen.append(pass ? "pass" : "fail"); });
    connect(&task, &TaskSpecification::finished, this, [&seen] { seen.append("finished"); });
    task.execute();
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), log.size(), 30000);
    for (QString &line : log) {
        if (line.contains(QLatin1String("%1")))
            line = line.arg(path("file"));
    }
    QCOMPARE(seen, log);
}

void tst_CheckSignatureTaskSpecification::verdictAfterResetIsIgnored()
{
    QVERIFY(writeFile(path("file"), "hello\n"));
    CheckSignatureTaskSpecification task(path("file"), "b1946ac92492d2347c6235b4d2611184", true, nullptr, 1.0);
    int reports = 0;
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this, [&reports] { ++reports; });
    connect(&task, &TaskSpecification::finished, this, [&reports] { ++reports; });
    task.execute();
    task.reset(); // waits for the worker; its verdict is still queued
    QCoreApplication::sendPostedEvents();
    QCOMPARE(reports, 0);
    QCOMPARE(task.getState(), TaskSpecification::StateIdle);
}

// The users retry from their checkDone slot; the task must not end a run that the listener has reset.
void tst_CheckSignatureTaskSpecification::listenerMayResetOnVerdict()
{
    QVERIFY(writeFile(path("file"), "hello\n"));
    CheckSignatureTaskSpecification task(path("file"), "0", true, nullptr, 1.0);
    bool done = false;
    int ends = 0;
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&](bool, CheckSignatureTaskSpecification *sender) {
                sender->reset();
                done = true;
            });
    connect(&task, &TaskSpecification::finished, this, [&ends] { ++ends; });
    connect(&task, &TaskSpecification::canceled, this, [&ends] { ++ends; });
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(done, 30000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(ends, 0);
    QCOMPARE(task.getState(), TaskSpecification::StateIdle);
}

QTEST_GUILESS_MAIN(tst_CheckSignatureTaskSpecification)
#include "tst_checksignaturetaskspecification.moc"
