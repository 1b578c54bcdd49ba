#include "app/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

class tst_SingleInstanceChecker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void serverName();
    void secondStartFindsFirst_data();
    void secondStartFindsFirst();
    void nobodyRunning();
    void staleSocketFileIsReplaced();
    void runningInstanceKeepsItsName();
    void socketIsPrivate();
    void socketDirectory_data();
    void socketDirectory();
    void strangerInSharedTempIsNotContacted();

private:
    static QString socketPath()
    {
        return qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + SingleInstanceChecker::getLocalServerName();
    }

    QTemporaryDir socketDir;  // the temporary path
    QTemporaryDir runtimeDir; // the session's runtime directory, mode 0700
    QByteArray home;
};

// CRC-16 of ISO 3309 (X.25), written out independently of the toolkit's qChecksum.
static quint16 crcIso3309(const QByteArray &data)
{
    quint16 crc = 0xffff;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc ^ 0xffff;
}

void tst_SingleInstanceChecker::initTestCase()
{
    // Keep this test's temporary path and runtime directory to itself.
    QVERIFY(socketDir.isValid());
    QVERIFY(runtimeDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(socketDir.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    home = qgetenv("HOME");
}

void tst_SingleInstanceChecker::cleanup()
{
    qputenv("HOME", home);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    // A failed case must not leave its socket file to the next one.
    QLocalServer::removeServer(socketPath());
}

void tst_SingleInstanceChecker::serverName()
{
    QCOMPARE(crcIso3309("123456789"), quint16(0x906e));
    qputenv("HOME", "/home/Someone:x");
    QString key = QCoreApplication::applicationFilePath().toLower() + QStringLiteral("homeSomeonex");
    key.remove(QLatin1Char('/'));
    const QString name = SingleInstanceChecker::getLocalServerName();
    QCOMPARE(name, QStringLiteral("MX4ClientUpdate") + QString::number(crcIso3309(key.toUtf8()), 16));
    QVERIFY(QRegularExpression(QStringLiteral("^MX4ClientUpdate[1-9a-f][0-9a-f]{0,3}$")).match(name).hasMatch());

    qputenv("HOME", "/home/other");
    QVERIFY(SingleInstanceChecker::getLocalServerName() != name);
}

void tst_SingleInstanceChecker::secondStartFindsFirst_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("received");

    QTest::newRow("activation") << "#" << "#";
    QTest::newRow("other text") << "hello" << "hello";
    QTest::newRow("cut at zero byte") << QString::fromLatin1("ab\0cd", 5) << "ab";
}

void tst_SingleInstanceChecker::secondStartFindsFirst()
{
    QFETCH(QString, message);

    SingleInstanceChecker first(nullptr);
    QSignalSpy activations(&first, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(message));
    QTRY_COMPARE_WITH_TIMEOUT(activations.size(), 1, 2000);
    QTEST(activations.first().first().toString(), "received");
}

void tst_SingleInstanceChecker::nobodyRunning()
{
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
}

// A crashed updater leaves its socket file behind: it exists, but nobody accepts on it.
void tst_SingleInstanceChecker::staleSocketFileIsReplaced()
{
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(descriptor >= 0);
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath());
    QVERIFY(size_t(path.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, path.constData(), path.size());
    QCOMPARE(::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(descriptor);
    QVERIFY(QFile::exists(socketPath()));

    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    SingleInstanceChecker next(nullptr);
    QSignalSpy activations(&next, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE_WITH_TIMEOUT(activations.size(), 1, 2000);
}

// Two updaters that both passed the check at the same moment: the later one must not take the name.
void tst_SingleInstanceChecker::runningInstanceKeepsItsName()
{
    SingleInstanceChecker first(nullptr);
    SingleInstanceChecker second(nullptr);
    QSignalSpy firstActivations(&first, &SingleInstanceChecker::otherInstanceActivate);
    QSignalSpy secondActivations(&second, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE_WITH_TIMEOUT(firstActivations.size(), 1, 2000);
    QCOMPARE(secondActivations.size(), 0);
}

void tst_SingleInstanceChecker::socketIsPrivate()
{
    SingleInstanceChecker checker(nullptr);
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(socketPath()).constData(), &status), 0);
    QVERIFY(S_ISSOCK(status.st_mode));
    QCOMPARE(status.st_mode & 077, 0u);
}

void tst_SingleInstanceChecker::socketDirectory_data()
{
    QTest::addColumn<QString>("runtime"); // XDG_RUNTIME_DIR: "" unset, "private" or "open" (mode 0777)
    QTest::addColumn<QString>("fallback"); // the temporary path's directory beforehand: "", "own" or "foreign"
    QTest::addColumn<QString>("used");     // "runtime", "fallback" or "" (no single-instance guard)

    QTest::newRow("runtime directory") << "private" << "" << "runtime";
    QTest::newRow("no runtime directory: own 0700 directory made") << "" << "" << "fallback";
    QTest::newRow("runtime directory open to others") << "open" << "" << "fallback";
    QTest::newRow("own directory already there") << "" << "own" << "fallback";
    QTest::newRow("directory of another user refused") << "" << "foreign" << "";
    QTest::newRow("own directory open to others refused") << "" << "open" << "";
}

void tst_SingleInstanceChecker::socketDirectory()
{
    QFETCH(QString, runtime);
    QFETCH(QString, fallback);
    QFETCH(QString, used);

    // Directly in /tmp: a socket path has at most 107 bytes, and one nested temporary directory more can
    // take it past that with a long enough executable path (the server name grows with its checksum).
    QTemporaryDir temp(QStringLiteral("/tmp/sic-XXXXXX"));
    QVERIFY(temp.isValid());
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    const QString own = temp.filePath(QStringLiteral("murmelo-update-%1").arg(::geteuid()));
    if (runtime.isEmpty()) {
        qunsetenv("XDG_RUNTIME_DIR");
    } else if (runtime == QLatin1String("open")) {
        const QString open = temp.filePath(QStringLiteral("open-runtime"));
        QVERIFY(QDir().mkdir(open));
        QCOMPARE(::chmod(QFile::encodeName(open).constData(), 0777), 0);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(open));
    }
    if (!fallback.isEmpty()) {
        QVERIFY(QDir().mkdir(own));
        QCOMPARE(::chmod(QFile::encodeName(own).constData(), fallback == QLatin1String("open") ? 0777 : 0700), 0);
        if (fallback == QLatin1String("foreign")) {
            if (::geteuid() != 0)
                QSKIP("only root can give a directory to another user");
            QCOMPARE(::chown(QFile::encodeName(own).constData(), 65534, 65534), 0);
        }
    }

    const QString expected = used == QLatin1String("runtime") ? runtimeDir.path()
                           : used == QLatin1String("fallback") ? own : QString();
    QCOMPARE(SingleInstanceChecker::socketDirectory(), expected);
    if (used == QLatin1String("fallback")) {
        struct stat status;
        QCOMPARE(::lstat(QFile::encodeName(own).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0700u);
        QCOMPARE(status.st_uid, ::geteuid());
    }

    SingleInstanceChecker first(nullptr);
    QSignalSpy activations(&first, &SingleInstanceChecker::otherInstanceActivate);
    if (expected.isEmpty()) {
        // No private place: nothing listens and nothing is handed over, so every start runs.
        QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
        QCOMPARE(QDir(own).entryList(QDir::System | QDir::NoDotAndDotDot), QStringList());
        qputenv("TMPDIR", QFile::encodeName(socketDir.path()));
        return;
    }
    QVERIFY(QFileInfo::exists(expected + QLatin1Char('/') + SingleInstanceChecker::getLocalServerName()));
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE_WITH_TIMEOUT(activations.size(), 1, 2000);
    qputenv("TMPDIR", QFile::encodeName(socketDir.path()));
}

// Another user listening under the name in the shared temporary directory used to receive the "#" of
// every start, which then ended at once with status 0.
void tst_SingleInstanceChecker::strangerInSharedTempIsNotContacted()
{
    QLocalServer stranger;
    const QString sharedName = QDir::tempPath() + QLatin1Char('/') + SingleInstanceChecker::getLocalServerName();
    QVERIFY(stranger.listen(sharedName));
    QSignalSpy contacted(&stranger, &QLocalServer::newConnection);

    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    SingleInstanceChecker first(nullptr);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTest::qWait(100);
    QCOMPARE(contacted.size(), 0);
}

QTEST_GUILESS_MAIN(tst_SingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
