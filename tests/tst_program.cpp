#include "support/childprocess.h"
#include "support/driverlog.h"
#include "support/httptestserver.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testrelease.h"
#include "support/updateserverprocess.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The built program, copied into a temporary installation and run as its own process. A toolkit plug-in
// (tests/driver) is loaded into it to log what it shows and to answer its message boxes.
class tst_Program : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void badVersion_data();
    void badVersion();
    void versionQueryAbandoned();
    void secondStartRaisesFirst();
    void invalidProxy_data();
    void invalidProxy();
    void updatesInstallationAndStartsClient();

private:
    ChildProcess *start(const QStringList &arguments, const QString &locale = QStringLiteral("C"));
    QList<QStringList> driverLog() const { return readDriverLog(installation->filePath(QStringLiteral("driver.log"))); }
    bool logged(const QStringList &line) const { return driverLog().contains(line); }
    void setUpdateServer(const QString &host);

    QScopedPointer<QTemporaryDir> installation;
    QString root;
    QList<ChildProcess *> processes;
};

namespace {

const QString buildDir = QStringLiteral(MURMELO_BINARY_DIR);
const QStringList mainWindowShown{ QStringLiteral("shown"), QStringLiteral("MainWindow"),
                                  QStringLiteral("Murmelo 4 Client Update") };

// Waits with the event loop running, so that servers of the test keep answering meanwhile.
bool finishes(QProcess *process, int timeoutMs = 20000)
{
    return QTest::qWaitFor([process] { return process->state() == QProcess::NotRunning; }, timeoutMs);
}

} // namespace

void tst_Program::initTestCase()
{
    QVERIFY(QFile::exists(buildDir + QStringLiteral("/bin/update")));
    QVERIFY(QFile::exists(buildDir + QStringLiteral("/bin/translations/update_de.qm")));
    QVERIFY(QDir(buildDir + QStringLiteral("/tests/plugins/generic")).exists());
}

void tst_Program::init()
{
    installation.reset(new QTemporaryDir);
    QVERIFY(installation->isValid());
    root = installation->filePath(QStringLiteral("client"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/translations")));
    QVERIFY(QDir().mkpath(installation->filePath(QStringLiteral("tmp"))));
    QVERIFY(QDir().mkpath(installation->filePath(QStringLiteral("runtime"))));
    QVERIFY(QFile::setPermissions(installation->filePath(QStringLiteral("runtime")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QFile::copy(buildDir + QStringLiteral("/bin/update"), root + QStringLiteral("/update")));
    const QDir translations(buildDir + QStringLiteral("/bin/translations"));
    for (const QString &name : translations.entryList(QDir::Files))
        QVERIFY(QFile::copy(translations.filePath(name), root + QStringLiteral("/translations/") + name));
    // Nobody answers there; each test that needs the update server starts one.
    setUpdateServer(QStringLiteral("127.0.0.1"));
}

void tst_Program::cleanup()
{
    qDeleteAll(processes);
    processes.clear();
}

void tst_Program::setUpdateServer(const QString &host)
{
    QSettings settings(root + QStringLiteral("/update.ini"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("update/server"), host);
}

ChildProcess *tst_Program::start(const QStringList &arguments, const QString &locale)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "LC_ALL", "LC_MESSAGES", "LC_NUMERIC", "LANGUAGE" })
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("LANG"), locale);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The single-instance socket and the run's temporary directory stay inside the test's directory.
    environment.insert(QStringLiteral("TMPDIR"), installation->filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), installation->filePath(QStringLiteral("runtime")));
    loadTestDriver(environment, installation->filePath(QStringLiteral("driver.log")));

    auto *process = new ChildProcess;
    processes.append(process);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(root + QStringLiteral("/update"), arguments);
    return process;
}

void tst_Program::badVersion_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("box");

    QTest::newRow("English") << "C"
                             << QStringList{ "box", "Error", "Invalid version nr (4.2)", "OK" };
    QTest::newRow("German") << "de_DE.UTF-8"
                            << QStringList{ "box", "Fehler", "Ungültige Versionsnummer (4.2)", "OK" };
}

void tst_Program::badVersion()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, box);

    // Parked copies of the updater's own files go at every start, before the command line is read.
    const QStringList leftovers{ "_old_update", "_old_libQtCore.so.4", "imageformats/_old_libqjpeg.so",
                                 "accessible/_old_libqtaccessiblewidgets.so", "_old_libQt6Core.so.6",
                                 "platforms/_old_libqxcb.so", "tls/_old_libqopensslbackend.so",
                                 "xcbglintegrations/_old_libqxcb-glx-integration.so" };
    const QStringList kept{ "_old_mx4client", "data/_old_libqjpeg.so", "platforms/_old_libfoo.so" };
    for (const QString &name : leftovers + kept)
        QVERIFY(writeFile(root + QLatin1Char('/') + name, QByteArray()));

    ChildProcess *program = start({ "--nouser", "client_linux_amd64", "4.2" }, locale);
    QVERIFY(finishes(program));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 1);
    QCOMPARE(driverLog(), QList<QStringList>{ box });
    for (const QString &name : leftovers)
        QVERIFY2(!QFile::exists(root + QLatin1Char('/') + name), qPrintable(name));
    for (const QString &name : kept)
        QVERIFY2(QFile::exists(root + QLatin1Char('/') + name), qPrintable(name));
}

void tst_Program::versionQueryAbandoned()
{
    // Nothing listens at this loopback address: the query waits out its limit, the box offers Retry
    // and Abort in the toolkit's own German, and Abort ends the program before its window shows.
    setUpdateServer(QStringLiteral("127.83.41.7"));
    ChildProcess *program = start({}, QStringLiteral("de_DE.UTF-8"));
    QVERIFY(finishes(program, 30000));
    QCOMPARE(program->exitCode(), 1);
    const QStringList box{ "box", "Fehler", "Die neueste Client-Version konnte nicht\\nvom Update-Server abgefragt werden.",
                           "Wiederholen|Abbrechen" };
    QCOMPARE(driverLog(), QList<QStringList>{ box });
}

void tst_Program::secondStartRaisesFirst()
{
    UpdateServerProcess server;
    QVERIFY2(server.startOnStandardPorts("[stable]\nversion = 1042\nname = 1.4.2\n"), qPrintable(server.errorString()));
    setUpdateServer(server.address().toString());

    // In German, to see the window's own texts translated too.
    ChildProcess *first = start({}, QStringLiteral("de_DE.UTF-8"));
    const QStringList germanWindowShown{ "shown", "MainWindow", "Murmelo 4 Client-Aktualisierung" };
    QTRY_VERIFY_WITH_TIMEOUT(logged(germanWindowShown), 20000);
    const QStringList raised{ QStringLiteral("raised"), QStringLiteral("MainWindow") };
    QVERIFY(!logged(raised));

    ChildProcess *second = start({ "--nouser", "client_linux_amd64", "1042" });
    QVERIFY(finishes(second));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(logged(raised), 5000);
    QCOMPARE(driverLog(), (QList<QStringList>{ germanWindowShown, raised }));
    QCOMPARE(first->state(), QProcess::Running);
}

void tst_Program::invalidProxy_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<QStringList>>("log");
    QTest::addColumn<int>("status");

    const QStringList proxyBox{ "box", "Error", "'proxy.local:8080' is an invalid proxy specification", "OK" };
    QTest::newRow("window shown, then the error ends the program")
        << QStringList{ "client_linux_amd64", "3021" } << QList<QStringList>{ mainWindowShown, proxyBox } << 2;
    // The version query's Retry box comes first; abandoning it ends the program before the proxy error
    // is shown, rather than the error ending the box's own loop and the box coming back at once.
    QTest::newRow("version query abandoned first")
        << QStringList{}
        << QList<QStringList>{ { "box", "Error", "Failed to query latest client\\nversion from update server.", "Retry|Abort" } }
        << 1;
}

void tst_Program::invalidProxy()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<QStringList>, log);
    QFETCH(int, status);

    setUpdateServer(QStringLiteral("127.83.41.7"));
    QSettings(root + QStringLiteral("/update.ini"), QSettings::IniFormat)
        .setValue(QStringLiteral("update/proxy"), QStringLiteral("proxy.local:8080"));
    ChildProcess *program = start(arguments);
    QVERIFY(finishes(program, 30000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), status);
    QCOMPARE(driverLog(), log);
}

void tst_Program::updatesInstallationAndStartsClient()
{
    QTemporaryDir mirrorRoot;
    QVERIFY(mirrorRoot.isValid());
    HttpTestServer mirror;
    QVERIFY(mirror.listen());
    mirror.serveDirectory(mirrorRoot.path());
    const QString section = QStringLiteral("release");
    const QByteArray client = "#!/bin/sh\necho \"$#\" > \"$(dirname \"$0\")/client-started\"\n";
    const QByteArray binary = "client v2 " + QByteArray(20000, 'b');
    TestRelease release(mirrorRoot.path(), 3021);
    release.addFile(section, QStringLiteral("mx4client_runscript.sh"), client);
    release.addGzipFile(section, QStringLiteral("mx4client_linux_amd64.gz"), QStringLiteral("mx4client_linux_amd64"), binary);
    release.addFile(section, QStringLiteral("data/readme.txt"), "read me v2");
    release.addDelete(QStringLiteral("obsolete.txt"));
    QVERIFY(release.write());
    QVERIFY(writeMirrorsIni(root + QStringLiteral("/mirrors.ini"), { { QStringLiteral("local"), mirror.url() } }));
    for (const QString &name : { QStringLiteral("mx4client_linux_amd64"), QStringLiteral("obsolete.txt") })
        QVERIFY(writeFile(root + QLatin1Char('/') + name, "v1"));

    ChildProcess *program = start({ "--nouser", "client_linux_amd64", "3021", "4.2" });
    QVERIFY(finishes(program, 60000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);

    QCOMPARE(driverLog(), QList<QStringList>{ mainWindowShown });
    QCOMPARE(readFile(root + QStringLiteral("/mx4client_linux_amd64")), binary);
    QCOMPARE(readFile(root + QStringLiteral("/data/readme.txt")), QByteArray("read me v2"));
    QVERIFY(!QFile::exists(root + QStringLiteral("/obsolete.txt")));
    QVERIFY(!QFile::exists(root + QStringLiteral("/mx4client_linux_amd64.gz")));
    // The client was started by the installed script, with no arguments.
    QTRY_COMPARE(readFile(root + QStringLiteral("/client-started")), QByteArray("0\n"));
    // Nothing of the run is left: no temporary directory and no record of an unfinished run.
    QCOMPARE(QDir(installation->filePath(QStringLiteral("tmp"))).entryList({ QStringLiteral("murmelo_temp_*") },
                                                                         QDir::AllEntries),
             QStringList());
    QSettings settings(root + QStringLiteral("/update.ini"), QSettings::IniFormat);
    QVERIFY(!settings.childGroups().contains(QStringLiteral("current")));
}

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
