#include "net/crypt.h"

#include "support/runcommand.h"
#include "support/testfiles.h"

#include <tomcrypt.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The signature form is shared with the release side, which may use OpenSSL; both directions must agree.
class tst_Crypt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInKeyIsAPublicKey();
    void keyFilesAreZeroPaddedBlocks();
    void malformedKeyIsRefused_data();
    void malformedKeyIsRefused();
    void openSslSignatureVerifies_data();
    void openSslSignatureVerifies();
    void signatureVerifiesWithOpenSsl_data();
    void signatureVerifiesWithOpenSsl();
    void readFileAcrossSteps_data();
    void readFileAcrossSteps();
    void embedKey_data();
    void embedKey();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QByteArray nativePath(const QString &name) const { return QFile::encodeName(path(name)); }
    void openssl(const QStringList &arguments, int expectedExit = 0);

    QTemporaryDir dir;
};

void tst_Crypt::openssl(const QStringList &arguments, int expectedExit)
{
    const CommandResult result = runCommand(QStringLiteral("openssl"), arguments, dir.path());
    QVERIFY2(result.exitCode == expectedExit,
             qPrintable(arguments.join(' ') + " exited with " + QString::number(result.exitCode) + ": "
                        + result.output));
}

void tst_Crypt::initTestCase()
{
    QVERIFY(dir.isValid());
    crypt_init();
    // One OpenSSL key for the whole run, in the forms the build and the key tool accept or must refuse.
    openssl({"genrsa", "-out", "openssl.pem", "1024"});
    openssl({"genrsa", "-out", "openssl2048.pem", "2048"});
    openssl({"rsa", "-in", "openssl.pem", "-RSAPublicKey_out", "-outform", "DER", "-out", "openssl.der"});
    openssl({"rsa", "-in", "openssl2048.pem", "-RSAPublicKey_out", "-outform", "DER", "-out", "openssl2048.der"});
    openssl({"rsa", "-in", "openssl.pem", "-outform", "DER", "-traditional", "-out", "private-pkcs1.der"});
    openssl({"pkey", "-in", "openssl.pem", "-outform", "DER", "-out", "private-pkcs8.der"});
    make_key_files(nativePath("own.key"), nativePath("own.pub"));
}

void tst_Crypt::builtInKeyIsAPublicKey()
{
    Rsa_key key;
    load_key(&key, PUBLIC_KEY, KEY_BLOCK_SIZE);
    const int type = key.type;
    rsa_free(&key);
    QCOMPARE(type, int(PK_PUBLIC));
}

void tst_Crypt::keyFilesAreZeroPaddedBlocks()
{
    QFile privateKey(path("own.key"));
    QFile publicKey(path("own.pub"));
    QVERIFY(privateKey.open(QIODevice::ReadOnly));
    QVERIFY(publicKey.open(QIODevice::ReadOnly));
    QCOMPARE(privateKey.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    const QByteArray block = publicKey.readAll();
    QCOMPARE(block.size(), qsizetype(KEY_BLOCK_SIZE));
    // SEQUENCE with a one-byte long-form length: 1024-bit public keys are 140 bytes.
    QCOMPARE(block.left(2), QByteArray("\x30\x81"));
    const int derLength = 3 + quint8(block.at(2));
    QCOMPARE(derLength, 140);
    QCOMPARE(block.mid(derLength), QByteArray(KEY_BLOCK_SIZE - derLength, '\0'));
    QCOMPARE(privateKey.readAll().size(), qsizetype(KEY_BLOCK_SIZE));
}

void tst_Crypt::malformedKeyIsRefused_data()
{
    QTest::addColumn<QByteArray>("block");
    QFile publicKey(path("own.pub"));
    QVERIFY(publicKey.open(QIODevice::ReadOnly));
    const QByteArray valid = publicKey.readAll();
    QByteArray noise(KEY_BLOCK_SIZE, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 151 + 17) % 256);

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("\x30", 1);
    QTest::newRow("empty sequence") << QByteArray("\x30\x00", 2);
    QTest::newRow("truncated") << valid.left(70);
    QTest::newRow("length beyond block") << QByteArray("\x30\x84\xff\xff\xff\xff", 6);
    QTest::newRow("noise") << noise;
    QTest::newRow("zeros") << QByteArray(KEY_BLOCK_SIZE, '\0');
}

// LibTomCrypt aborts on some invalid arguments; a bad key must throw instead.
void tst_Crypt::malformedKeyIsRefused()
{
    QFETCH(QByteArray, block);
    Rsa_key key;
    QVERIFY_THROWS_EXCEPTION(crypt_exception,
                             load_key(&key, reinterpret_cast<const unsigned char *>(block.constData()),
                                      static_cast<unsigned long>(block.size())));
}

void tst_Crypt::openSslSignatureVerifies_data()
{
    QTest::addColumn<QString>("privateKey");
    QTest::addColumn<QString>("publicKey");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("1024-bit") << "openssl.pem" << "openssl.der" << QByteArray("[release]\nupdate=abc\n");
    QTest::newRow("2048-bit") << "openssl2048.pem" << "openssl2048.der" << QByteArray("[release]\n");
    QTest::newRow("empty file") << "openssl.pem" << "openssl.der" << QByteArray();
}

void tst_Crypt::openSslSignatureVerifies()
{
    QFETCH(QString, privateKey);
    QFETCH(QString, publicKey);
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(path("message"), content));
    openssl({"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8", "-sign",
             privateKey, "-out", "message.sig", "message"});
    QVERIFY(verify_file(nativePath(publicKey), nativePath("message")));

    QVERIFY(writeFile(path("message"), content + 'x'));
    QVERIFY(!verify_file(nativePath(publicKey), nativePath("message")));
}

void tst_Crypt::signatureVerifiesWithOpenSsl_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("text") << QByteArray("[release]\nupdate=abc\n");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("binary, several key-block steps") << QByteArray(5000, '\xa5');
}

void tst_Crypt::signatureVerifiesWithOpenSsl()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(path("message"), content));
    sign_file(nativePath("own.key"), nativePath("message"));
    QCOMPARE(QFileInfo(path("message.sig")).size(), 128);

    // OpenSSL reads the DER at the start of the block and ignores the padding.
    openssl({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", "own.pub", "-pubout", "-out", "own.pem"});
    const QStringList verify{"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                             "rsa_pss_saltlen:8", "-verify", "own.pem", "-signature", "message.sig", "message"};
    openssl(verify);

    QVERIFY(writeFile(path("message"), content + 'x'));
    openssl(verify, 1);
}

void tst_Crypt::readFileAcrossSteps_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 2047, 2048, 2049, 6145})
        QTest::addRow("%d bytes", size) << size;
}

void tst_Crypt::readFileAcrossSteps()
{
    QFETCH(int, size);
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char(i * 7 + i / 256);
    QVERIFY(writeFile(path("file"), content));

    unsigned char *data = nullptr;
    unsigned long length = 0;
    read_file(nativePath("file"), &data, &length);
    const QByteArray read(reinterpret_cast<const char *>(data), qsizetype(length));
    delete[] data;
    QCOMPARE(read, content);
}

void tst_Crypt::embedKey_data()
{
    QTest::addColumn<QString>("keyFile");
    QTest::addColumn<QString>("refusal"); // empty when the key must be accepted
    QTest::newRow("bare DER is padded") << "openssl.der" << QString();
    QTest::newRow("key block") << "own.pub" << QString();
    QTest::newRow("2048-bit DER") << "openssl2048.der" << QString();
    QTest::newRow("PKCS#1 private key") << "private-pkcs1.der" << "is a private key";
    QTest::newRow("PKCS#8 private key") << "private-pkcs8.der" << "is a private key";
    QTest::newRow("key-tool private key") << "own.key" << "is a private key";
    QTest::newRow("PEM") << "openssl.pem" << "is not a DER key";
    QTest::newRow("missing") << "nothing.der" << "does not exist";
    QTest::newRow("empty") << "empty.der" << "has 0 bytes";
    QTest::newRow("larger than a block") << "large.der" << "has 2049 bytes";
}

void tst_Crypt::embedKey()
{
    QFETCH(QString, keyFile);
    QFETCH(QString, refusal);
    QVERIFY(writeFile(path("empty.der"), QByteArray()));
    QVERIFY(writeFile(path("large.der"), QByteArray(KEY_BLOCK_SIZE + 1, '\x30')));
    QFile::remove(path("key.cpp"));

    const CommandResult result = runCommand(
            QStringLiteral("cmake"),
            {"-DKEY=" + path(keyFile), "-DOUTPUT=" + path("key.cpp"), "-P",
             QStringLiteral(MURMELO_SOURCE_DIR "/cmake/EmbedPublicKey.cmake")});
    if (!refusal.isEmpty()) {
        QVERIFY(result.exitCode != 0);
        QVERIFY2(result.output.simplified().contains(refusal), qPrintable(result.output));
        QVERIFY(!QFile::exists(path("key.cpp")));
        return;
    }
    QVERIFY2(result.exitCode == 0, qPrintable(result.output));

    QFile source(path("key.cpp"));
    QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Text));
    QByteArray embedded;
    const QString text = QString::fromUtf8(source.readAll());
    for (const QRegularExpressionMatch &match : QRegularExpression("0x([0-9a-f]{2})").globalMatch(text))
        embedded.append(char(match.captured(1).toUInt(nullptr, 16)));
    QFile key(path(keyFile));
    QVERIFY(key.open(QIODevice::ReadOnly));
    const QByteArray der = key.readAll();
    QCOMPARE(embedded, der + QByteArray(KEY_BLOCK_SIZE - der.size(), '\0'));
}

QTEST_GUILESS_MAIN(tst_Crypt)
#include "tst_crypt.moc"
