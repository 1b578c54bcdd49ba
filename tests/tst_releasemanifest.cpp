#include "net/crypt.h"
#include "net/keyrotation.h"
#include "net/manifestkey.h"
#include "net/manifestkeyring.h"
#include "net/releasemanifest.h"

#include <QTest>

// The manifest's text, its signature under the trusted keys with rotation statements, and the checks of a
// run's release against it. Keys are fixed files: the demo manifest key (built in), a second key that a
// rotation adds, one nobody trusts, and one too short.
class tst_ReleaseManifest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInKeys();
    void keySize_data();
    void keySize();
    void roundTrip();
    void parseRefuses_data();
    void parseRefuses();
    void signature_data();
    void signature();
    void retiredKeyStaysRetired();
    void refusal_data();
    void refusal();

private:
    static ManifestKey key(const char *file);
    static ReleaseManifest sample();

    ManifestKey demo;
    ManifestKey next;
    ManifestKey untrusted;
};

ManifestKey tst_ReleaseManifest::key(const char *file)
{
    ManifestKey key;
    const QString why = ManifestKey::fromFile(QStringLiteral(MURMELO_SOURCE_DIR "/") + QLatin1String(file), key);
    if (!why.isEmpty())
        qFatal("%s", qPrintable(why));
    return key;
}

ReleaseManifest tst_ReleaseManifest::sample()
{
    ReleaseManifest manifest;
    manifest.clientType = QStringLiteral("client_linux_amd64");
    manifest.version = 1042;
    manifest.channel = QStringLiteral("stable");
    manifest.expires = QDateTime(QDate(2040, 1, 31), QTime(12, 0), Qt::UTC);
    manifest.files.insert(QStringLiteral("release/bin/client"), {QString(64, QLatin1Char('a')), 3000, false, {}, 0});
    manifest.files.insert(QStringLiteral("release/maps/big map.dat.gz"),
                          {QString(64, QLatin1Char('b')), 100, true, QString(64, QLatin1Char('c')), 5000});
    return manifest;
}

void tst_ReleaseManifest::initTestCase()
{
    crypt_init();
    demo = key("keys/demo/manifest-private.key");
    next = key("tests/keys/manifest-next-private.key");
    untrusted = key("tests/keys/manifest-untrusted-private.key");
}

void tst_ReleaseManifest::builtInKeys()
{
    const ManifestKeyring ring = ManifestKeyring::builtIn();
    QCOMPARE(ring.ids(), QStringList{key("keys/demo/manifest-public.key").id()});
    QCOMPARE(demo.id(), key("keys/demo/manifest-public.key").id());
    QVERIFY(demo.isPrivate());
}

void tst_ReleaseManifest::keySize_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("3072-bit public") << "tests/keys/manifest-next-public.key" << QString();
    QTest::newRow("2048-bit") << "tests/keys/manifest-short-public.key" << "2048 bits";
    QTest::newRow("1024-bit ini key") << "keys/demo/public.key" << "1024 bits";
    QTest::newRow("no key") << "keys/demo/README.md" << "no usable RSA key";
    QTest::newRow("missing") << "keys/demo/nothing.key" << "cannot read";
}

void tst_ReleaseManifest::keySize()
{
    QFETCH(QString, file);
    QFETCH(QString, refusal);
    ManifestKey key;
    const QString why = ManifestKey::fromFile(QStringLiteral(MURMELO_SOURCE_DIR "/") + file, key);
    if (refusal.isEmpty())
        QVERIFY2(why.isEmpty(), qPrintable(why));
    else
        QVERIFY2(why.contains(refusal), qPrintable(why));
}

void tst_ReleaseManifest::roundTrip()
{
    ReleaseManifest manifest = sample();
    manifest.rotations << KeyRotation::add(next, demo) << KeyRotation::retire(untrusted.id(), demo);
    manifest.sign(demo);
    ReleaseManifest read;
    QCOMPARE(ReleaseManifest::parse(manifest.text(), read), QString());
    QCOMPARE(read.text(), manifest.text());
    QCOMPARE(read.clientType, manifest.clientType);
    QCOMPARE(read.version, manifest.version);
    QCOMPARE(read.expires, manifest.expires);
    QCOMPARE(read.files.size(), 2);
    const ReleaseManifest::File map = read.files.value(QStringLiteral("release/maps/big map.dat.gz"));
    QVERIFY(map.compressed);
    QCOMPARE(map.unpackedSize, 5000u);
    QCOMPARE(read.rotations.size(), 2);
    QCOMPARE(read.rotations.at(1).action, KeyRotation::Retire);
    ManifestKeyring ring = ManifestKeyring::builtIn();
    QCOMPARE(read.verify(ring), QString());
}

void tst_ReleaseManifest::parseRefuses_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to"); // replaces the first occurrence of from in a valid manifest
    QTest::addColumn<QString>("refusal");
    // "<cut>" cuts the text in half, "<huge>" appends a line beyond the size limit.
    QTest::newRow("truncated") << QByteArray("<cut>") << QByteArray() << "truncated";
    QTest::newRow("huge") << QByteArray("<huge>") << QByteArray() << "more than";
    QTest::newRow("no signature") << QByteArray("signature ") << QByteArray("file ") << "expected";
    QTest::newRow("other format version") << QByteArray("manifest 1") << QByteArray("manifest 2") << "version 1";
    QTest::newRow("carriage return") << QByteArray("version 1042\n") << QByteArray("version 1042\r\n")
                                     << "carriage return";
    QTest::newRow("version zero") << QByteArray("version 1042") << QByteArray("version 0") << "line 3";
    QTest::newRow("version with a sign") << QByteArray("version 1042") << QByteArray("version +1042") << "line 3";
    QTest::newRow("version too large") << QByteArray("version 1042") << QByteArray("version 99999999999999999999")
                                       << "line 3";
    QTest::newRow("items out of order") << QByteArray("client-type client_linux_amd64\nversion 1042")
                                        << QByteArray("version 1042\nclient-type client_linux_amd64") << "line 2";
    QTest::newRow("local expiry") << QByteArray("T12:00:00Z") << QByteArray("T12:00:00+01:00") << "UTC time";
    QTest::newRow("bad sum") << QByteArray("file aaaa") << QByteArray("file Aaaa") << "line 6";
    QTest::newRow("duplicate file") << QByteArray("release/bin/client\n")
                                    << QByteArray("release/bin/client\nfile " + QByteArray(64, 'a')
                                                  + " 3000 release/bin/client\n")
                                    << "listed twice";
    QTest::newRow("unpacked without its file") << QByteArray("file bbbb") << QByteArray("unpacked bbbb")
                                               << "follows the \"file\" line";
    QTest::newRow("control character in a path") << QByteArray("bin/client") << QByteArray("bin/cli\tent")
                                                 << "line 6";
    QTest::newRow("unknown item") << QByteArray("channel stable\n") << QByteArray("channel stable\nnews hello\n")
                                  << "line 5";
}

void tst_ReleaseManifest::parseRefuses()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, refusal);
    ReleaseManifest manifest = sample();
    manifest.sign(demo);
    QByteArray text = manifest.text();
    if (from == "<cut>") {
        text.chop(text.size() / 2);
    } else if (from == "<huge>") {
        text += QByteArray(ReleaseManifest::MaxBytes, 'x') + '\n';
    } else {
        const qsizetype at = text.indexOf(from);
        QVERIFY(at >= 0);
        text.replace(at, from.size(), to);
    }
    ReleaseManifest read;
    const QString why = ReleaseManifest::parse(text, read);
    QVERIFY2(why.contains(refusal), qPrintable(why));
}

void tst_ReleaseManifest::signature_data()
{
    // rotations: "add:<signer>:<added>" or "retire:<signer>:<retired>" with d(emo), n(ext), u(ntrusted);
    // tamper: a byte of the signed text changed after signing.
    QTest::addColumn<QStringList>("rotations");
    QTest::addColumn<QChar>("signer");
    QTest::addColumn<bool>("tamper");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("built-in key") << QStringList{} << QChar('d') << false << QString();
    QTest::newRow("changed after signing") << QStringList{} << QChar('d') << true << "does not verify";
    QTest::newRow("key not trusted") << QStringList{} << QChar('u') << false << "does not trust";
    QTest::newRow("new key added by a trusted one") << QStringList{"add:d:n"} << QChar('n') << false << QString();
    QTest::newRow("key added by an untrusted one") << QStringList{"add:u:n"} << QChar('n') << false << "does not trust";
    QTest::newRow("chain of additions") << QStringList{"add:d:n", "add:n:u"} << QChar('u') << false << QString();
    QTest::newRow("signing key retired") << QStringList{"add:d:n", "retire:n:d"} << QChar('d') << false
                                         << "does not trust";
    QTest::newRow("old key retired, new one signs") << QStringList{"add:d:n", "retire:n:d"} << QChar('n') << false
                                                    << QString();
    QTest::newRow("retired key cannot add") << QStringList{"retire:d:d", "add:d:n"} << QChar('n') << false
                                            << "does not trust";
    QTest::newRow("retired key cannot come back") << QStringList{"add:d:n", "retire:n:u", "add:n:u"} << QChar('u')
                                                  << false << "retired";
}

void tst_ReleaseManifest::signature()
{
    QFETCH(QStringList, rotations);
    QFETCH(QChar, signer);
    QFETCH(bool, tamper);
    QFETCH(QString, refusal);
    const auto pick = [this](QChar name) -> const ManifestKey & {
        return name == QLatin1Char('d') ? demo : name == QLatin1Char('n') ? next : untrusted;
    };
    ReleaseManifest manifest = sample();
    for (const QString &rotation : std::as_const(rotations)) {
        const QStringList parts = rotation.split(QLatin1Char(':'));
        const ManifestKey &by = pick(parts.at(1).at(0));
        const ManifestKey &subject = pick(parts.at(2).at(0));
        manifest.rotations << (parts.at(0) == QLatin1String("add") ? KeyRotation::add(subject, by)
                                                                   : KeyRotation::retire(subject.id(), by));
    }
    manifest.sign(pick(signer));
    QByteArray text = manifest.text();
    if (tamper)
        text.replace("version 1042", "version 1043");
    ReleaseManifest read;
    QCOMPARE(ReleaseManifest::parse(text, read), QString());
    ManifestKeyring ring = ManifestKeyring::builtIn();
    const QString why = read.verify(ring);
    if (refusal.isEmpty())
        QVERIFY2(why.isEmpty(), qPrintable(why));
    else
        QVERIFY2(why.contains(refusal), qPrintable(why));
}

void tst_ReleaseManifest::retiredKeyStaysRetired()
{
    // A statement whose signature was changed is refused, not skipped: its signer is trusted.
    ReleaseManifest manifest = sample();
    KeyRotation rotation = KeyRotation::add(next, demo);
    rotation.subject = untrusted.publicDer();
    manifest.rotations << rotation;
    manifest.sign(demo);
    ManifestKeyring ring = ManifestKeyring::builtIn();
    QVERIFY(manifest.verify(ring).contains("does not verify"));

    ManifestKeyring kept;
    kept.add(demo);
    kept.retire(demo.id());
    kept.add(demo);
    QVERIFY(!kept.find(demo.id()));
    QCOMPARE(kept.retiredIds(), QStringList{demo.id()});
}

void tst_ReleaseManifest::refusal_data()
{
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<quint64>("version");
    QTest::addColumn<QString>("channel");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<quint64>("highestAccepted");
    QTest::addColumn<QString>("refusal");
    const QString type = QStringLiteral("client_linux_amd64");
    const QDateTime before(QDate(2040, 1, 31), QTime(11, 59, 59), Qt::UTC);
    const QDateTime expiry(QDate(2040, 1, 31), QTime(12, 0), Qt::UTC);
    QTest::newRow("expected release") << type << quint64(1042) << "stable" << before << quint64(0) << QString();
    QTest::newRow("same version accepted before") << type << quint64(1042) << "stable" << before << quint64(1042)
                                                  << QString();
    QTest::newRow("other client type") << "client_win32" << quint64(1042) << "stable" << before << quint64(0)
                                       << "client type client_linux_amd64";
    QTest::newRow("other version") << type << quint64(1043) << "stable" << before << quint64(0)
                                   << "for version 1042, this run installs version 1043";
    QTest::newRow("other channel") << type << quint64(1042) << "beta" << before << quint64(0) << "channel stable";
    QTest::newRow("expired") << type << quint64(1042) << "stable" << expiry << quint64(0)
                             << "expired at 2040-01-31T12:00:00Z";
    QTest::newRow("rollback") << type << quint64(1042) << "stable" << before << quint64(1043)
                              << "older than version 1043";
}

void tst_ReleaseManifest::refusal()
{
    QFETCH(QString, clientType);
    QFETCH(quint64, version);
    QFETCH(QString, channel);
    QFETCH(QDateTime, now);
    QFETCH(quint64, highestAccepted);
    QFETCH(QString, refusal);
    const QString why = sample().refusal({clientType, version, channel, now, highestAccepted});
    if (refusal.isEmpty())
        QVERIFY2(why.isEmpty(), qPrintable(why));
    else
        QVERIFY2(why.contains(refusal), qPrintable(why));
}

QTEST_GUILESS_MAIN(tst_ReleaseManifest)
#include "tst_releasemanifest.moc"
