#include "app/configuration.h"
#include "app/updatechecker.h"
#include "support/testfiles.h"
#include "support/testinstallation.h"
#include "support/udptestserver.h"
#include "ui/versionqueryretrybox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

class tst_Configuration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commandLine_data();
    void commandLine();
    void downloadSettings_data();
    void downloadSettings();
    void updateServerName();
    void failedQueryAbort();
    void failedQueryRetry();
    void failedQueryWithoutRetryQuestion();
    void createTempDirSkipsTaken_data();
    void createTempDirSkipsTaken();
    void createTempDirFailures();
    void initalizeStart_data();
    void initalizeStart();

private:
    void writeUpdateIni(const QByteArray &contents);
    // Answers the next message box from the event loop that its exec() runs.
    void answerMessageBox(QMessageBox::StandardButton button, const std::function<void()> &before = {});
    static quint16 closedPort();

    TestInstallation root;
    QTemporaryDir temp;
    QByteArray savedTmpDir;
    QString boxTitle;
    QString boxText;
    QMessageBox::StandardButtons boxButtons;
    int boxes = 0;
};

void tst_Configuration::init()
{
    QVERIFY(root.isValid());
    QVERIFY(temp.isValid());
    QFile::remove(root.filePath("update.ini"));
    savedTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    boxes = 0;
}

void tst_Configuration::cleanup()
{
    UpdateChecker::setPortForTesting(0);
    qputenv("TMPDIR", savedTmpDir);
    QDir(temp.path()).removeRecursively();
    QDir().mkpath(temp.path());
}

void tst_Configuration::writeUpdateIni(const QByteArray &contents)
{
    QVERIFY(writeFile(root.filePath("update.ini"), contents));
}

void tst_Configuration::answerMessageBox(QMessageBox::StandardButton button, const std::function<void()> &before)
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, timer, button, before] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->deleteLater();
        ++boxes;
        boxTitle = box->windowTitle();
        boxText = box->text();
        boxButtons = box->standardButtons();
        if (before)
            before();
        box->button(button)->click();
    });
    timer->start(10);
}

quint16 tst_Configuration::closedPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

void tst_Configuration::commandLine_data()
{
    QTest::addColumn<QByteArray>("channelIni");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("fatalError");
    QTest::addColumn<bool>("serverAsked");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<int>("clientVersion");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("autoStart");

    const QString amd64 = QStringLiteral("client_linux_amd64");
    const QString x86 = QStringLiteral("client_linux_x86");
    const QByteArray list = "100#1.0,200#2.0,300#3.0";
    const QString invalid = QStringLiteral("Invalid version nr (abc)");

    QTest::newRow("--nouser alone")
        << QByteArray() << QStringList{"--nouser"} << list << true << QString() << true << int(Stable) << amd64
        << 100 << "1.0" << "server news" << 1;
    QTest::newRow("--nouser type version # news")
        << QByteArray() << QStringList{"--nouser", x86, "12345", "#", "Hello"} << list << true << QString() << false
        << int(Stable) << x86 << 12345 << "" << "Hello" << 1;
    QTest::newRow("--nouser type version name")
        << QByteArray() << QStringList{"--nouser", x86, "12345", "3.0.1"} << list << true << QString() << false
        << int(Stable) << x86 << 12345 << "3.0.1" << "" << 1;
    QTest::newRow("--nouser with arguments after the news")
        << QByteArray() << QStringList{"--nouser", x86, "12345", "3.0.1", "Hello", "extra"} << list << true
        << QString() << false << int(Stable) << x86 << 12345 << "3.0.1" << "Hello" << 1;
    QTest::newRow("--nouser with version 0: server overrides name and news")
        << QByteArray() << QStringList{"--nouser", x86, "0", "mine", "my news"} << list << true << QString()
        << true << int(Stable) << x86 << 100 << "1.0" << "server news" << 1;
    QTest::newRow("--nouser type only: type ignored")
        << QByteArray() << QStringList{"--nouser", x86} << list << true << QString() << true << int(Stable)
        << amd64 << 100 << "1.0" << "server news" << 1;
    QTest::newRow("--nouser bad version")
        << QByteArray() << QStringList{"--nouser", x86, "abc"} << list << false << invalid << false
        << int(Stable) << x86 << 0 << "" << "" << 0;
    QTest::newRow("--NOUSER is not the option")
        << QByteArray() << QStringList{"--NOUSER"} << list << true << QString() << true << int(Stable) << amd64
        << 100 << "1.0" << "server news" << 0;
    QTest::newRow("type and bad version")
        << QByteArray() << QStringList{x86, "abc"} << list << false << invalid << false << int(Stable) << x86
        << 0 << "" << "" << 0;
    QTest::newRow("type and version 0: server not asked")
        << QByteArray() << QStringList{x86, "0"} << list << true << QString() << false << int(Stable) << x86
        << 0 << "" << "" << 0;
    QTest::newRow("type and version")
        << QByteArray() << QStringList{x86, "4711"} << list << true << QString() << false << int(Stable) << x86
        << 4711 << "" << "" << 0;
    QTest::newRow("three plain arguments are ignored")
        << QByteArray() << QStringList{x86, "4711", "name"} << list << true << QString() << true << int(Stable)
        << amd64 << 100 << "1.0" << "server news" << 0;
    QTest::newRow("alpha revision wins over a bad version")
        << QByteArray("[Channel]\nalpha=http://alpha.example/\nalphaRevno=777\n") << QStringList{x86, "abc"}
        << list << true << QString() << false << int(Alpha) << x86 << 777 << "" << "" << 0;
    QTest::newRow("alpha without revision asks for the third entry")
        << QByteArray("[Channel]\nalpha=http://alpha.example/\nbeta=true\n") << QStringList{} << list << true
        << QString() << true << int(Alpha) << amd64 << 300 << "3.0" << "server news" << 0;
    QTest::newRow("beta uses the second entry")
        << QByteArray("[Channel]\nalpha=\nbeta=true\n") << QStringList{} << list << true << QString() << true
        << int(Beta) << amd64 << 200 << "2.0" << "server news" << 0;
    QTest::newRow("beta FALSE is stable")
        << QByteArray("[Channel]\nbeta=FALSE\n") << QStringList{} << list << true << QString() << true
        << int(Stable) << amd64 << 100 << "1.0" << "server news" << 0;
    QTest::newRow("no entry for the channel")
        << QByteArray("[Channel]\nbeta=1\n") << QStringList{"--nouser"} << QByteArray("100#1.0") << false
        << QString() << true << int(Beta) << amd64 << 0 << "" << "server news" << 0;
    QTest::newRow("empty entry for the channel")
        << QByteArray() << QStringList{} << QByteArray(",200#2.0") << false << QString() << true << int(Stable)
        << amd64 << 0 << "" << "server news" << 0;
    QTest::newRow("server version not a number")
        << QByteArray() << QStringList{} << QByteArray("a#b#c") << false
        << QStringLiteral("Update server returned invalid version nr (a)") << true << int(Stable) << amd64 << 0
        << "" << "server news" << 0;
}

void tst_Configuration::commandLine()
{
    QFETCH(QByteArray, channelIni);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, versionReply);
    QFETCH(bool, accepted);
    QFETCH(QString, fatalError);
    QFETCH(bool, serverAsked);

    UdpTestServer server([versionReply](const UdpTestServer::Request &request) {
        return request.data.startsWith('3') ? versionReply : QByteArray("server news");
    });
    UpdateChecker::setPortForTesting(server.port());
    writeUpdateIni(channelIni + "\n[update]\nserver=127.0.0.1\n");

    Configuration configuration;
    QSignalSpy fatalErrors(&configuration, &Configuration::fatalError);
    arguments.prepend(QStringLiteral("update"));
    QCOMPARE(configuration.parseCommandLineOptions(arguments), accepted);

    QCOMPARE(fatalErrors.size(), fatalError.isEmpty() ? 0 : 1);
    if (!fatalError.isEmpty())
        QCOMPARE(fatalErrors.first().first().toString(), fatalError);
    QCOMPARE(server.requests().isEmpty(), !serverAsked);
    QTEST(int(configuration.channel), "channel");
    QTEST(configuration.clientType, "clientType");
    QTEST(configuration.clientVersion, "clientVersion");
    QTEST(configuration.versionName, "versionName");
    QTEST(configuration.news, "news");
    QTEST(configuration.autoStart, "autoStart");
}

void tst_Configuration::downloadSettings_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("streams");

    QTest::newRow("no file") << QByteArray() << QString() << 6;
    QTest::newRow("streams 0") << QByteArray("[update]\nstreams=0\n") << QString() << 6;
    QTest::newRow("streams -3") << QByteArray("[update]\nstreams=-3\n") << QString() << 6;
    QTest::newRow("streams not a number") << QByteArray("[update]\nstreams=many\n") << QString() << 6;
    QTest::newRow("streams 2 and a proxy")
        << QByteArray("[update]\nstreams=2\nproxy=http://proxy.example:8080\n")
        << QStringLiteral("http://proxy.example:8080") << 2;
}

void tst_Configuration::downloadSettings()
{
    QFETCH(QByteArray, ini);
    if (!ini.isEmpty())
        writeUpdateIni(ini);
    Configuration configuration;
    configuration.getProxyAndDownloadConcurrency();
    QTEST(configuration.proxy, "proxy");
    QTEST(configuration.downloadStreams, "streams");
}

void tst_Configuration::updateServerName()
{
    QCOMPARE(Configuration::getUpdateServerName(), QStringLiteral(MURMELO_UPDATE_SERVER));
    writeUpdateIni("[update]\nserver=updates.example.net\n");
    QCOMPARE(Configuration::getUpdateServerName(), QStringLiteral("updates.example.net"));
}

void tst_Configuration::failedQueryAbort()
{
    UpdateChecker::setPortForTesting(closedPort());
    writeUpdateIni("[update]\nserver=127.0.0.1\n");
    Configuration configuration;
    VersionQueryRetryBox retryBox;
    configuration.setVersionQueryRetry(&retryBox);
    configuration.news = QStringLiteral("kept");
    QSignalSpy fatalErrors(&configuration, &Configuration::fatalError);

    answerMessageBox(QMessageBox::Abort);
    QVERIFY(!configuration.parseCommandLineOptions({QStringLiteral("update")}));
    QCOMPARE(boxes, 1);
    QCOMPARE(boxTitle, QStringLiteral("Error"));
    QCOMPARE(boxText, QStringLiteral("Failed to query latest client\nversion from update server."));
    QCOMPARE(boxButtons, QMessageBox::Retry | QMessageBox::Abort);
    QCOMPARE(configuration.news, QStringLiteral("kept"));
    QCOMPARE(fatalErrors.size(), 0);
}

void tst_Configuration::failedQueryRetry()
{
    UpdateChecker::setPortForTesting(closedPort());
    writeUpdateIni("[update]\nserver=127.0.0.1\n");
    Configuration configuration;
    VersionQueryRetryBox retryBox;
    configuration.setVersionQueryRetry(&retryBox);

    // The server comes up while the box is open; Retry then reaches it.
    UdpTestServer server([](const UdpTestServer::Request &request) {
        return request.data.startsWith('3') ? QByteArray("42#4.2") : QByteArray("hello");
    });
    answerMessageBox(QMessageBox::Retry, [&server] { UpdateChecker::setPortForTesting(server.port()); });
    QVERIFY(configuration.parseCommandLineOptions({QStringLiteral("update"), QStringLiteral("--nouser")}));
    QCOMPARE(boxes, 1);
    QCOMPARE(configuration.clientVersion, 42);
    QCOMPARE(configuration.versionName, QStringLiteral("4.2"));
    QCOMPARE(configuration.news, QStringLiteral("hello"));
    QCOMPARE(configuration.autoStart, 1);
}

// Nobody to ask, as in a program that provides no question: the failed query is abandoned, not repeated.
void tst_Configuration::failedQueryWithoutRetryQuestion()
{
    UpdateChecker::setPortForTesting(closedPort());
    writeUpdateIni("[update]\nserver=127.0.0.1\n");
    Configuration configuration;
    QSignalSpy fatalErrors(&configuration, &Configuration::fatalError);

    QVERIFY(!configuration.parseCommandLineOptions({QStringLiteral("update")}));
    QCOMPARE(configuration.clientVersion, 0);
    QCOMPARE(fatalErrors.size(), 0);
}

void tst_Configuration::createTempDirSkipsTaken_data()
{
    QTest::addColumn<QString>("tmpDirSuffix");
    QTest::addColumn<bool>("fileInTheWay");

    QTest::newRow("directories 0 to 4 exist") << QString() << false;
    QTest::newRow("trailing slash, a file named 0") << QStringLiteral("/") << true;
}

void tst_Configuration::createTempDirSkipsTaken()
{
    QFETCH(QString, tmpDirSuffix);
    QFETCH(bool, fileInTheWay);

    const QString base = temp.filePath(QStringLiteral("murmelo_temp_"));
    for (int i = 0; i < 5; ++i) {
        if (i == 0 && fileInTheWay) {
            QFile file(base + QLatin1Char('0'));
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkdir(base + QString::number(i)));
        }
    }
    qputenv("TMPDIR", QFile::encodeName(temp.path() + tmpDirSuffix));

    Configuration configuration;
    QVERIFY(configuration.createTempDir());
    QCOMPARE(configuration.tempDir, base + QLatin1Char('5'));
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(configuration.tempDir).constData(), &status), 0);
    QVERIFY(S_ISDIR(status.st_mode));
    QCOMPARE(status.st_mode & 0777, 0700u);
}

void tst_Configuration::createTempDirFailures()
{
    Configuration configuration;
    QSignalSpy fatalErrors(&configuration, &Configuration::fatalError);

    qputenv("TMPDIR", QFile::encodeName(temp.filePath(QStringLiteral("missing"))));
    QVERIFY(!configuration.createTempDir());
    QCOMPARE(fatalErrors.takeFirst().first().toString(), QStringLiteral("Unable to get temp directory."));

    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    for (int i = 0; i < 1000; ++i)
        QVERIFY(QDir().mkdir(temp.filePath(QStringLiteral("murmelo_temp_%1").arg(i))));
    QVERIFY(!configuration.createTempDir());
    QCOMPARE(fatalErrors.takeFirst().first().toString(), QStringLiteral("Unable to create temp directory."));
    QVERIFY(configuration.tempDir.isEmpty());
}

void tst_Configuration::initalizeStart_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("adopted");

    const QString own = QStringLiteral("murmelo_temp_7");
    QTest::newRow("nothing recorded") << "" << QString() << false;
    QTest::newRow("own directory") << "directory" << own << true;
    QTest::newRow("own directory, trailing slash") << "directory" << own + '/' << true;
    QTest::newRow("directory of another name") << "directory" << "photos" << false;
    QTest::newRow("symbolic link to own directory") << "symlink" << own << false;
    QTest::newRow("symbolic link, trailing slash") << "symlink" << own + '/' << false;
    QTest::newRow("regular file") << "file" << own << false;
    QTest::newRow("vanished") << "missing" << own << false;
    QTest::newRow("another user's directory") << "foreign" << own << false;
}

void tst_Configuration::initalizeStart()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(bool, adopted);

    QTemporaryDir other;
    QString recorded;
    if (!kind.isEmpty())
        recorded = other.filePath(name);
    if (kind == QLatin1String("directory") || kind == QLatin1String("foreign")) {
        QVERIFY(QDir().mkdir(recorded));
    } else if (kind == QLatin1String("symlink")) {
        QVERIFY(QDir().mkdir(other.filePath(QStringLiteral("target"))));
        QVERIFY(QFile::link(other.filePath(QStringLiteral("target")), QDir::cleanPath(recorded)));
    } else if (kind == QLatin1String("file")) {
        QFile file(recorded);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    if (kind == QLatin1String("foreign")) {
        if (::geteuid() != 0)
            QSKIP("Handing a directory to another user needs root");
        QCOMPARE(::chown(QFile::encodeName(recorded).constData(), 65534, 65534), 0);
    }

    Configuration configuration;
    QVERIFY(configuration.initalizeStart(recorded));
    if (adopted) {
        QCOMPARE(configuration.tempDir, recorded);
    } else {
        QCOMPARE(configuration.tempDir, temp.filePath(QStringLiteral("murmelo_temp_0")));
        QVERIFY(QFileInfo(configuration.tempDir).isDir());
    }
}

QTEST_MAIN(tst_Configuration)
#include "tst_configuration.moc"
