#include "support/runcommand.h"
#include "support/testfiles.h"

#include "net/crypt.h"
#include "net/manifestkey.h"
#include "net/releasemanifest.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The release manifest from the vendor's side: murmelo-publish writes it (--manifest-key, --expires-in,
// --channel, --rotation) and checks it with verify; keytool makes manifest keys and rotation statements.
// Each run works in a fresh directory with the fixed keys of the source tree; key files are named by their
// path below the source root.
class tst_PublishManifest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void publish_data();
    void publish();
    void verifyAfterEdit_data();
    void verifyAfterEdit();
    void keytool_data();
    void keytool();

private:
    CommandResult run(const QString &program, const QStringList &arguments);
    CommandResult publishRelease(const QStringList &extra);
    static QString source(const QString &relative) { return QStringLiteral(MURMELO_SOURCE_DIR "/") + relative; }

    std::unique_ptr<QTemporaryDir> dir;
    const QString demoKey = source(QStringLiteral("keys/demo/manifest-private.key"));
    const QString nextKey = source(QStringLiteral("tests/keys/manifest-next-private.key"));
    const QString manifestPath = QStringLiteral("out/7/client_linux_amd64.ini.manifest");
};

CommandResult tst_PublishManifest::run(const QString &program, const QStringList &arguments)
{
    return runCommand(QStringLiteral(MURMELO_BINARY_DIR "/bin/") + program, arguments, dir->path());
}

CommandResult tst_PublishManifest::publishRelease(const QStringList &extra)
{
    return run(QStringLiteral("murmelo-publish"),
               QStringList{"publish", "--client-type", "client_linux_amd64", "--version", "7", "--key",
                           source("keys/demo/private.key"), "--gzip", "*.bin"}
                       + extra + QStringList{"rel", "out"});
}

void tst_PublishManifest::initTestCase()
{
    crypt_init();
}

void tst_PublishManifest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(writeFile(dir->filePath("rel/client"), "#!/bin/sh\necho client\n"));
    QVERIFY(writeFile(dir->filePath("rel/data/big.bin"), QByteArray(5000, 'b')));
    QCOMPARE(run("keytool", {"rotate-add", demoKey, source("tests/keys/manifest-next-public.key"), "add-next"}).exitCode, 0);
}

void tst_PublishManifest::publish_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");                // in the output
    QTest::addColumn<QString>("verifyKey");           // verify --manifest-key; empty: built-in keys
    QTest::addColumn<int>("verifyCode");
    const QString next = source("tests/keys/manifest-next-public.key");
    const QString untrusted = source("tests/keys/manifest-untrusted-public.key");
    QTest::newRow("built-in key") << QStringList{"--manifest-key", demoKey} << 0 << "channel stable" << QString() << 0;
    QTest::newRow("beta channel, short life") << QStringList{"--manifest-key", demoKey, "--channel", "beta",
                                                             "--expires-in", "2h"}
                                              << 0 << "channel beta" << QString() << 0;
    QTest::newRow("new key without a statement") << QStringList{"--manifest-key", nextKey} << 2 << "is not trusted by the updaters"
                                                 << QString() << -1;
    QTest::newRow("new key added by the built-in one") << QStringList{"--manifest-key", nextKey, "--rotation", "add-next"}
                                                       << 0 << "signed with key" << next << 0;
    QTest::newRow("checked under another key") << QStringList{"--manifest-key", demoKey} << 0 << "signed with key"
                                               << untrusted << 1;
    QTest::newRow("key too short") << QStringList{"--manifest-key", source("tests/keys/manifest-short-private.key")}
                                   << 2 << "at least 3072" << QString() << -1;
    QTest::newRow("public key") << QStringList{"--manifest-key", source("keys/demo/manifest-public.key")} << 2
                                << "holds a public key" << QString() << -1;
    QTest::newRow("zero lifetime") << QStringList{"--manifest-key", demoKey, "--expires-in", "0"} << 2
                                   << "positive duration" << QString() << -1;
    QTest::newRow("statement that is none") << QStringList{"--manifest-key", demoKey, "--rotation", "rel/client"} << 2
                                            << "no key rotation statement" << QString() << -1;
    QTest::newRow("channel without a manifest") << QStringList{"--channel", "beta"} << 3 << "give --manifest-key"
                                                << QString() << -1;
}

void tst_PublishManifest::publish()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    QFETCH(QString, verifyKey);
    QFETCH(int, verifyCode);
    const CommandResult result = publishRelease(options);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.output));
    QVERIFY2(result.output.contains(text), qPrintable(result.output));
    if (exitCode != 0) {
        // Nothing an updater would pick up: no product ini.
        QVERIFY(!QFile::exists(dir->filePath("out/7/client_linux_amd64.ini")));
    }
    if (verifyCode < 0)
        return;
    QStringList verify{"verify"};
    if (!verifyKey.isEmpty())
        verify << "--manifest-key" << verifyKey;
    const CommandResult verified = run("murmelo-publish", verify + QStringList{"out/7", source("keys/demo/public.key")});
    QVERIFY2(verified.exitCode == verifyCode, qPrintable(verified.output));
}

void tst_PublishManifest::verifyAfterEdit_data()
{
    // A manifest re-signed with the built-in key after one change, or a product ini file changed behind it.
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("problem");
    QTest::newRow("as published") << "" << QString();
    QTest::newRow("SHA-256 differs, MD5 right") << "sha256" << "has the SHA-256 sum";
    QTest::newRow("unpacked SHA-256 differs") << "unpacked" << "decompresses to other content";
    QTest::newRow("file the ini lacks") << "extra" << "which the product ini does not";
    QTest::newRow("file missing from the manifest") << "drop" << "does not list release/client";
    QTest::newRow("other version") << "version" << "it is for version 8";
    QTest::newRow("expired") << "expired" << "it expired at";
    QTest::newRow("manifest removed, key given") << "remove" << "cannot be read";
    QTest::newRow("signature broken") << "break" << "does not verify";
}

void tst_PublishManifest::verifyAfterEdit()
{
    QFETCH(QString, edit);
    QFETCH(QString, problem);
    QCOMPARE(publishRelease({"--manifest-key", demoKey}).exitCode, 0);
    const QString path = dir->filePath(manifestPath);
    ReleaseManifest manifest;
    QCOMPARE(ReleaseManifest::parse(readFile(path), manifest), QString());
    ReleaseManifest::File &client = manifest.files[QStringLiteral("release/client")];
    ReleaseManifest::File &big = manifest.files[QStringLiteral("release/data/big.bin.gz")];
    QVERIFY(big.compressed);
    if (edit == "sha256")
        client.sha256[0] = client.sha256.at(0) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    else if (edit == "unpacked")
        big.unpackedSha256 = QString(64, QLatin1Char('e'));
    else if (edit == "extra")
        manifest.files.insert(QStringLiteral("release/more"), client);
    else if (edit == "drop")
        manifest.files.remove(QStringLiteral("release/client"));
    else if (edit == "version")
        manifest.version = 8;
    else if (edit == "expired")
        manifest.expires = QDateTime::currentDateTimeUtc().addSecs(-60);
    ManifestKey key;
    QCOMPARE(ManifestKey::fromFile(demoKey, key), QString());
    manifest.sign(key);
    QByteArray text = manifest.text();
    if (edit == "break")
        text.replace("channel stable", "channel stabl3");
    QVERIFY(writeFile(path, text));
    if (edit == "remove")
        QVERIFY(QFile::remove(path));

    const CommandResult result = run("murmelo-publish", {"verify", "--manifest-key", source("keys/demo/manifest-public.key"),
                                                         "out/7", source("keys/demo/public.key")});
    QVERIFY2(result.exitCode == (problem.isEmpty() ? 0 : 1), qPrintable(result.output));
    QVERIFY2(result.output.contains(problem), qPrintable(result.output));
}

void tst_PublishManifest::keytool_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("bits"); // of the key written to new.key, 0: none
    QTest::newRow("manifest key") << QStringList{"genkey", "new.key", "new.pub", "3072"} << 0 << "3072 bits" << 3072;
    QTest::newRow("too small") << QStringList{"genkey", "new.key", "new.pub", "512"} << 2 << "1024 to 3072" << 0;
    QTest::newRow("too large for a key block") << QStringList{"genkey", "new.key", "new.pub", "4096"} << 2
                                               << "1024 to 3072" << 0;
    QTest::newRow("size no number") << QStringList{"genkey", "new.key", "new.pub", "big"} << 3 << "usage" << 0;
    QTest::newRow("retire statement") << QStringList{"rotate-retire", nextKey, source("keys/demo/manifest-public.key"),
                                                     "new.key"}
                                      << 0 << "retires key" << 0;
    QTest::newRow("statement signed with the ini key") << QStringList{"rotate-add", source("keys/demo/private.key"),
                                                                      source("tests/keys/manifest-next-public.key"),
                                                                      "new.key"}
                                                       << 2 << "1024 bits" << 0;
    QTest::newRow("statement signed with a public key") << QStringList{"rotate-add", source("keys/demo/manifest-public.key"),
                                                                       source("tests/keys/manifest-next-public.key"),
                                                                       "new.key"}
                                                        << 2 << "holds a public key" << 0;
}

void tst_PublishManifest::keytool()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    QFETCH(int, bits);
    const CommandResult result = run("keytool", arguments);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.output));
    QVERIFY2(result.output.contains(text), qPrintable(result.output));
    if (bits > 0) {
        const QByteArray block = readFile(dir->filePath("new.key"));
        QCOMPARE(key_facts(reinterpret_cast<const unsigned char *>(block.constData()), block.size()).bits, bits);
    }
    if (arguments.at(0) == "rotate-retire") {
        KeyRotation rotation;
        QByteArray line = readFile(dir->filePath("new.key"));
        line.chop(1);
        QCOMPARE(KeyRotation::parse(line, rotation), QString());
        QCOMPARE(rotation.action, KeyRotation::Retire);
    }
}

QTEST_GUILESS_MAIN(tst_PublishManifest)
#include "tst_publishmanifest.moc"
