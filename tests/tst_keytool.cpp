#include "support/runcommand.h"
#include "support/testfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Bad input must end with a text that names the problem and a non-zero status, never with a crash or a
// signature that looks valid.
class tst_KeyTool : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void commands_data();
    void commands();
    void existingKeyIsKept();

private:
    CommandResult keytool(const QStringList &arguments);
    void copy(const QString &from, const QString &to, int size = -1);

    std::unique_ptr<QTemporaryDir> dir;
};

CommandResult tst_KeyTool::keytool(const QStringList &arguments)
{
    return runCommand(QStringLiteral(MURMELO_BINARY_DIR "/bin/keytool"), arguments, dir->path());
}

// Copies the first `size` bytes (all when negative).
void tst_KeyTool::copy(const QString &from, const QString &to, int size)
{
    QFile in(dir->filePath(from));
    QFile out(dir->filePath(to));
    QVERIFY(in.open(QIODevice::ReadOnly));
    QVERIFY(out.open(QIODevice::WriteOnly));
    const QByteArray bytes = in.readAll();
    out.write(size < 0 ? bytes : bytes.left(size));
}

void tst_KeyTool::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QCOMPARE(keytool({"genkey", "release.key", "release.pub"}).exitCode, 0);
    QCOMPARE(keytool({"genkey", "other.key", "other.pub"}).exitCode, 0);
    QVERIFY(writeFile(dir->filePath("data"), "[release]\nupdate=0123456789abcdef0123456789abcdef::1024\n"));
    const CommandResult signing = keytool({"sign", "release.key", "data"});
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.output));

    copy("data", "short");
    copy("data.sig", "short.sig", 127);
    copy("data.sig", "tampered.sig");
    QVERIFY(writeFile(dir->filePath("tampered"), "[release]\nupdate=0123456789abcdef0123456789abcdef::1025\n"));
    copy("data", "nosig");
    copy("data", "empty", 0);
    for (const char *name : {"ones", "zeros"}) {
        copy("data", name);
        QVERIFY(writeFile(dir->filePath(QString::fromLatin1(name) + ".sig"),
                          QByteArray(128, name[0] == 'o' ? '\xff' : '\0')));
    }
}

void tst_KeyTool::commands_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");

    QTest::newRow("valid") << QStringList{"verify", "release.pub", "data"} << 0 << "is a valid signature";
    QTest::newRow("private key verifies too") << QStringList{"verify", "release.key", "data"} << 0
                                              << "is a valid signature";
    QTest::newRow("tampered file") << QStringList{"verify", "release.pub", "tampered"} << 1
                                   << "tampered.sig is not a valid signature of tampered";
    QTest::newRow("wrong key") << QStringList{"verify", "other.pub", "data"} << 1
                               << "is not a valid signature";
    QTest::newRow("signature above the modulus") << QStringList{"verify", "release.pub", "ones"} << 1
                                                 << "is not a valid signature";
    QTest::newRow("signature of zeros") << QStringList{"verify", "release.pub", "zeros"} << 1
                                        << "is not a valid signature";
    QTest::newRow("signature one byte short") << QStringList{"verify", "release.pub", "short"} << 2
                                              << "short.sig has 127 bytes";
    QTest::newRow("missing signature") << QStringList{"verify", "release.pub", "nosig"} << 2
                                       << "Cannot open file for reading: nosig.sig";
    QTest::newRow("missing file") << QStringList{"verify", "release.pub", "absent"} << 2
                                  << "Cannot open file for reading: absent";
    QTest::newRow("missing key") << QStringList{"verify", "absent.pub", "data"} << 2
                                 << "Cannot open file for reading: absent.pub";
    QTest::newRow("file is no key") << QStringList{"verify", "data", "data"} << 2
                                    << "data holds no usable RSA key";
    QTest::newRow("signature as key") << QStringList{"verify", "data.sig", "data"} << 2
                                      << "data.sig holds no usable RSA key";
    QTest::newRow("empty key file") << QStringList{"verify", "empty", "data"} << 2
                                    << "empty holds no usable RSA key";
    QTest::newRow("sign empty file") << QStringList{"sign", "release.key", "empty"} << 0 << "wrote empty.sig";
    QTest::newRow("sign with public key") << QStringList{"sign", "release.pub", "data"} << 2
                                          << "holds a public key; signing needs the private key";
    QTest::newRow("sign missing file") << QStringList{"sign", "release.key", "absent"} << 2
                                       << "Cannot open file for reading: absent";
    QTest::newRow("genkey over existing key") << QStringList{"genkey", "new.key", "release.pub"} << 2
                                              << "release.pub exists already";
    QTest::newRow("genkey into one file") << QStringList{"genkey", "new.key", "new.key"} << 2
                                          << "two different files";
    QTest::newRow("unknown command") << QStringList{"check", "release.pub", "data"} << 3 << "usage:";
    QTest::newRow("missing argument") << QStringList{"sign", "release.key"} << 3 << "usage:";
}

void tst_KeyTool::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    const CommandResult result = keytool(arguments);
    QVERIFY2(result.output.contains(text), qPrintable(result.output));
    QCOMPARE(result.exitCode, exitCode);
}

void tst_KeyTool::existingKeyIsKept()
{
    QFile key(dir->filePath("release.key"));
    QVERIFY(key.open(QIODevice::ReadOnly));
    const QByteArray before = key.readAll();
    key.close();
    QCOMPARE(keytool({"genkey", "release.key", "fresh.pub"}).exitCode, 2);
    QVERIFY(key.open(QIODevice::ReadOnly));
    QCOMPARE(key.readAll(), before);
    QVERIFY(!QFile::exists(dir->filePath("fresh.pub")));
}

QTEST_GUILESS_MAIN(tst_KeyTool)
#include "tst_keytool.moc"
