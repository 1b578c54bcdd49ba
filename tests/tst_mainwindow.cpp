#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "net/banner.h"
#include "support/httptestserver.h"
#include "support/messageboxanswerer.h"
#include "support/mirrorsini.h"
#include "support/runcommand.h"
#include "support/testfiles.h"
#include "support/udptestserver.h"
#include "support/urlrecorder.h"
#include "ui/changelogviewer.h"
#include "ui/batchedlog.h"
#include "ui/mainwindow.h"
#include "update/updateengine.h"

#include <QAccessible>
#include <QBuffer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTextEdit>
#include <QtTest>

namespace {

template<typename T = QWidget>
T *widget(const QWidget &window, const char *name)
{
    T *child = window.findChild<T *>(QLatin1String(name));
    if (!child)
        qFatal("no widget %s", name);
    return child;
}

// The application's event loop, as the program runs it, ended by the window; 99 when it does not end.
int runEventLoop()
{
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    limit.start(20000);
    return QCoreApplication::exec();
}

QByteArray pngImage(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void form();
    void accessibleControls_data();
    void accessibleControls();
    void tabOrder();
    void headerText_data();
    void headerText();
    void transferFigures_data();
    void transferFigures();
    void detailsShowsLogEnd();
    void closeWhenIdle();
    void otherInstanceRaisesWindow();
    void otherInstanceRestoresMinimizedWindow();
    void bannerFromEngine_data();
    void bannerFromEngine();
    void changelogButton();
    void progressSteps_data();
    void progressSteps();
    void finishedRun();
    void cancelledRunRestarts();
    void closeDuringRun_data();
    void closeDuringRun();
    void closeConfirmedAsRunEnds_data();
    void closeConfirmedAsRunEnds();
    void automaticStart_data();
    void automaticStart();
    void fatalErrorEndsLoop_data();
    void fatalErrorEndsLoop();

private:
    void publishRelease();
    void prepareRun(Configuration &configuration);
    // Makes the installation's mirrors.ini name this one mirror.
    bool listMirror(const QUrl &url) const
    {
        return writeMirrorsIni(root->filePath(QStringLiteral("mirrors.ini")), { { QStringLiteral("one"), url } });
    }
    QString clientStartedMarker() const { return root->filePath(QStringLiteral("client-started")); }
    QString logText(const MainWindow &window) const;

    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<QTemporaryDir> mirrorTree; // what the mirror serves
    QScopedPointer<HttpTestServer> mirror;    // the installation's one mirror, serving mirrorTree
    QByteArray savedTmpDir;
    // The engine asks for a banner at construction; by default nobody answers on this port.
    QScopedPointer<UdpTestServer> bannerServer;
};

void tst_MainWindow::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
    mirrorTree.reset(new QTemporaryDir);
    QVERIFY(mirrorTree->isValid());
    // A run's temporary directory goes below the system's temporary path: keep it inside the test's.
    savedTmpDir = qgetenv("TMPDIR");
    QVERIFY(QDir(root->path()).mkdir(QStringLiteral("tmp")));
    qputenv("TMPDIR", QFile::encodeName(root->filePath(QStringLiteral("tmp"))));
    Configuration::setAppRootPathForTesting(root->path());
    QSettings(root->filePath(QStringLiteral("update.ini")), QSettings::IniFormat)
        .setValue(QStringLiteral("update/server"), QStringLiteral("127.0.0.1"));
    bannerServer.reset(new UdpTestServer([](const UdpTestServer::Request &) { return QByteArray(); }));
    Banner::setPortForTesting(bannerServer->port());
    mirror.reset(new HttpTestServer);
    QVERIFY(mirror->listen());
    mirror->serveDirectory(mirrorTree->path());
    QVERIFY(listMirror(mirror->url()));
}

void tst_MainWindow::cleanup()
{
    if (ChangeLogViewer::instance())
        delete ChangeLogViewer::instance();
    if (savedTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmpDir);
    Banner::setPortForTesting(0);
    Configuration::setAppRootPathForTesting(QString());
    bannerServer.reset();
    mirror.reset();
}

// Version 3021 of client_linux_amd64 with a changelog, signed with the demo key that the tests are
// built with, published into the mirror tree.
void tst_MainWindow::publishRelease()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QList<QPair<QString, QByteArray>> files{
        { QStringLiteral("rel/client.bin"), QByteArray("client program 3021") },
        { QStringLiteral("rel/lib/libfoo.so"), QByteArray(70000, 'f') },
        { QStringLiteral("changelog.txt"), QByteArray("3021\n- better\n") },
    };
    for (const auto &[path, content] : files)
        QVERIFY(writeFile(work.filePath(path), content));
    const CommandResult result = runCommand(
        QStringLiteral(MURMELO_BINARY_DIR "/bin/murmelo-publish"),
        { QStringLiteral("publish"), QStringLiteral("--client-type"), QStringLiteral("client_linux_amd64"),
          QStringLiteral("--version"), QStringLiteral("3021"), QStringLiteral("--key"),
          QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/private.key"), QStringLiteral("--changelog"),
          work.filePath(QStringLiteral("changelog.txt")), work.filePath(QStringLiteral("rel")), mirrorTree->path() });
    QVERIFY2(result.exitCode == 0, qPrintable(result.output));
}

// The installation: the client's start script (it leaves a marker) and the command line's
// type and version.
void tst_MainWindow::prepareRun(Configuration &configuration)
{
    const QString script = root->filePath(Configuration::getClientBinaryName());
    QVERIFY(writeFile(script, "#!/bin/sh\ntouch \"$(dirname \"$0\")/client-started\"\n"));
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    configuration.clientType = QStringLiteral("client_linux_amd64");
    configuration.clientVersion = 3021;
    configuration.versionName = QStringLiteral("4.2");
}

// The log as its reader sees it once the details are open: a hidden log takes its lines in only then.
QString tst_MainWindow::logText(const MainWindow &window) const
{
    auto *log = widget<QTextEdit>(window, "outputTextEdit");
    log->findChild<BatchedLog *>()->flush();
    return log->toPlainText();
}

void tst_MainWindow::form()
{
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Murmelo 4 Client Update"));
    const QPixmap logo = widget<QLabel>(window, "murmeloLabel")->pixmap();
    QVERIFY(!logo.isNull());
    QCOMPARE(logo.size(), QSize(48, 48));
    QCOMPARE(widget<QPushButton>(window, "startButton")->text(), QStringLiteral("Start Update"));
    QVERIFY(widget<QPushButton>(window, "startButton")->isEnabled());
    QVERIFY(widget(window, "outputTextEdit")->isHidden());
    QVERIFY(widget(window, "totalSizeLabel")->isHidden());
    QCOMPARE(widget<QProgressBar>(window, "totalProgressBar")->maximum(), 1000);
}

void tst_MainWindow::accessibleControls_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");

    // Controls without a text of their own are named; a label whose text is a bare figure keeps it as its
    // name (a screen reader reads the value) and says in its description what the figure is.
    QTest::newRow("logo") << "murmeloLabel" << "Murmelo website" << "Opens the Murmelo website";
    QTest::newRow("news") << "newsBanner" << "News" << "";
    QTest::newRow("banner") << "banner" << "Banner" << "";
    QTest::newRow("progress") << "totalProgressBar" << "Update progress" << "";
    QTest::newRow("log") << "outputTextEdit" << "Details log" << "";
    QTest::newRow("version") << "versionLabel" << "" << "Release and channel";
    QTest::newRow("speed") << "downloadSpeedLabel" << "0 KB/s" << "Download speed";
    QTest::newRow("done") << "totalSizeLabel" << "0 KB" << "Downloaded";
    QTest::newRow("total") << "totalTotalSizeLabel" << "0 KB" << "Download size";
    QTest::newRow("start") << "startButton" << "Start Update" << "";
    QTest::newRow("details") << "detailsButton" << "Details" << "";
    QTest::newRow("changes") << "changelogButton" << "View Changes" << "";
}

void tst_MainWindow::accessibleControls()
{
    QFETCH(QString, control);
    QFETCH(QString, name);
    QFETCH(QString, description);

    Configuration configuration;
    MainWindow window(configuration);
    QWidget *child = window.findChild<QWidget *>(control);
    QVERIFY(child);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(child);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), name);
    QCOMPARE(accessible->text(QAccessible::Description), description);
    // Whatever the figures or texts, an assistive tool can always say what a control is.
    QVERIFY(!accessible->text(QAccessible::Name).isEmpty() || !accessible->text(QAccessible::Description).isEmpty());
}

void tst_MainWindow::tabOrder()
{
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    widget<QPushButton>(window, "detailsButton")->click(); // shows the log, the last stop

    // The main action first, then the buttons from left to right, then the log.
    QStringList order;
    QWidget *start = widget(window, "startButton");
    QWidget *current = start;
    do {
        if (current->isVisible() && current->isEnabled() && (current->focusPolicy() & Qt::TabFocus))
            order << current->objectName();
        current = current->nextInFocusChain();
    } while (current != start && order.size() < 20);
    QCOMPARE(order, (QStringList{"startButton", "detailsButton", "changelogButton", "outputTextEdit"}));
}

void tst_MainWindow::headerText_data()
{
    QTest::addColumn<UpdateChannel>("channel");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<int>("autoStart");
    QTest::addColumn<QString>("shown");

    QTest::newRow("stable with name") << Stable << "4.2" << 0 << "Update to Murmelo 4.2\nYou are currently on Stable channel.";
    QTest::newRow("beta without name") << Beta << "" << 0 << "You are currently on Beta channel.";
    QTest::newRow("alpha, automatic start") << Alpha << "4.3 alpha" << 1
                                            << "Update to Murmelo 4.3 alpha\nYou are currently on Alpha channel.";
    QTest::newRow("markup in the name shows as written")
        << Stable << "4.2 <beta> & more" << 0 << "Update to Murmelo 4.2 <beta> & more\nYou are currently on Stable channel.";
}

void tst_MainWindow::headerText()
{
    QFETCH(UpdateChannel, channel);
    QFETCH(QString, versionName);
    QFETCH(int, autoStart);
    QFETCH(QString, shown);

    Configuration configuration;
    configuration.channel = channel;
    configuration.versionName = versionName;
    configuration.autoStart = autoStart;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();

    QTextDocument rendered;
    rendered.setHtml(widget<QLabel>(window, "versionLabel")->text());
    QCOMPARE(rendered.toPlainText(), shown);
    QCOMPARE(widget(window, "startButton")->isEnabled(), autoStart == 0);
}

void tst_MainWindow::transferFigures_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QStringList>("texts"); // speed, done, total

    QTest::newRow("999 bytes show as 0 KB") << quint64(999) << quint64(999) << quint64(999)
                                             << QStringList{ "0 KB/s", "0 KB", "0 KB" };
    QTest::newRow("decimal kilobytes") << quint64(5678999) << quint64(9000000) << quint64(1234000)
                                       << QStringList{ "1234 KB/s", "5678 KB", "9000 KB" };
    QTest::newRow("beyond 4 GB") << quint64(5000000000) << quint64(6000000000) << quint64(1000)
                                 << QStringList{ "1 KB/s", "5000000 KB", "6000000 KB" };
}

void tst_MainWindow::transferFigures()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(QStringList, texts);

    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QList<QLabel *> labels{ widget<QLabel>(window, "downloadSpeedLabel"),
                                  widget<QLabel>(window, "totalSizeLabel"),
                                  widget<QLabel>(window, "totalTotalSizeLabel") };
    QLabel *slash = widget<QLabel>(window, "label_6");

    window.onDownloadProgress(done, total, speed, true);
    for (int i = 0; i < labels.size(); ++i) {
        QVERIFY(labels.at(i)->isVisible());
        QCOMPARE(labels.at(i)->text(), texts.at(i));
    }
    QVERIFY(slash->isVisible());

    // Not downloading: the row disappears and keeps its last figures for the next time.
    window.onDownloadProgress(1, 2, 3, false);
    for (int i = 0; i < labels.size(); ++i) {
        QVERIFY(labels.at(i)->isHidden());
        QCOMPARE(labels.at(i)->text(), texts.at(i));
    }
    QVERIFY(slash->isHidden());
}

void tst_MainWindow::detailsShowsLogEnd()
{
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int collapsedHeight = window.height();
    for (int i = 0; i < 100; ++i)
        window.onAppendText(QStringLiteral("line %1").arg(i));

    auto *log = widget<QTextEdit>(window, "outputTextEdit");
    log->verticalScrollBar()->setValue(0);
    QTest::mouseClick(widget(window, "detailsButton"), Qt::LeftButton);
    QVERIFY(log->isVisible());
    QTRY_VERIFY(log->verticalScrollBar()->maximum() > 0);
    QTRY_COMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
    // The window follows its layout: it grows with the log and shrinks again without it.
    QTRY_VERIFY(window.height() > collapsedHeight);
    QTest::mouseClick(widget(window, "detailsButton"), Qt::LeftButton);
    QVERIFY(log->isHidden());
    QTRY_COMPARE(window.height(), collapsedHeight);
}

void tst_MainWindow::closeWhenIdle()
{
    MessageBoxAnswerer answerer(QMessageBox::No);
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.close());
    QVERIFY(answerer.boxes.isEmpty());
}

void tst_MainWindow::otherInstanceRaisesWindow()
{
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &other);

    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(QApplication::activeWindow(), &window);
}

void tst_MainWindow::otherInstanceRestoresMinimizedWindow()
{
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.showMinimized();
    QTRY_VERIFY(window.isMinimized());

    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_VERIFY(!window.isMinimized());
    QVERIFY(window.isVisible());
    QTRY_COMPARE(QApplication::activeWindow(), &window);
}

void tst_MainWindow::bannerFromEngine_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("shown");

    QTest::newRow("image") << pngImage(QSize(468, 60)) << true;
    QTest::newRow("not an image") << QByteArray("<html>no</html>") << false;
}

void tst_MainWindow::bannerFromEngine()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, shown);

    HttpTestServer images;
    QVERIFY(images.listen());
    images.setHandler(QStringLiteral("/banner.png"), [image](const HttpTestServer::Request &) {
        return HttpTestServer::Response::withBody(image);
    });
    const QByteArray answer = images.url(QStringLiteral("/banner.png")).toEncoded() + ",https://offers.example/spring?x=1";
    bannerServer.reset(new UdpTestServer([answer](const UdpTestServer::Request &) { return answer; }));
    Banner::setPortForTesting(bannerServer->port());

    UrlRecorder browser;
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *banner = widget<QLabel>(window, "banner");
    QSignalSpy delivered(window.findChild<UpdateEngine *>(), &UpdateEngine::bannerFound);
    QTRY_COMPARE(delivered.count(), 1);
    QCOMPARE(images.requestCount(QStringLiteral("/banner.png")), 1);
    if (!shown) {
        QVERIFY(banner->pixmap().isNull());
        QVERIFY(banner->toolTip().isEmpty());
        return;
    }
    QVERIFY(!banner->pixmap().isNull());
    QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://offers.example\""));
    QTest::mouseClick(banner, Qt::LeftButton);
    QCOMPARE(browser.opened, QList<QUrl>{ QUrl("https://offers.example/spring?x=1") });
}

void tst_MainWindow::changelogButton()
{
    mirror->setHandler(QStringLiteral("/3021/changelog_client.txt"), [](const HttpTestServer::Request &) {
        return HttpTestServer::Response::withBody("- better\n");
    });

    Configuration configuration;
    configuration.clientVersion = 3021;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(widget(window, "changelogButton"), Qt::LeftButton);
    ChangeLogViewer *viewer = ChangeLogViewer::instance();
    QVERIFY(viewer);
    QCOMPARE(viewer->parentWidget(), &window);
    QTRY_COMPARE(mirror->requestCount(QStringLiteral("/3021/changelog_client.txt")), 1);
    viewer->close();
    QTRY_VERIFY(!ChangeLogViewer::instance());
}

void tst_MainWindow::progressSteps_data()
{
    QTest::addColumn<QList<qreal>>("steps");
    QTest::addColumn<int>("shownAtOnce");
    QTest::addColumn<int>("shownLater");

    QTest::newRow("steps in between wait for the next frame") << QList<qreal>{0.25, 0.5} << 0 << 500;
    QTest::newRow("the end at once, and no step after it") << QList<qreal>{0.7, 1.0} << 1000 << 1000;
    QTest::newRow("the start at once, and no step after it") << QList<qreal>{0.3, 0.0} << 0 << 0;
}

void tst_MainWindow::progressSteps()
{
    QFETCH(QList<qreal>, steps);
    QFETCH(int, shownAtOnce);
    QFETCH(int, shownLater);

    Configuration configuration;
    MainWindow window(configuration);
    auto *bar = widget<QProgressBar>(window, "totalProgressBar");
    for (const qreal step : std::as_const(steps))
        window.onProgressUpdate(step);
    QCOMPARE(bar->value(), shownAtOnce);
    QTest::qWait(200);
    QCOMPARE(bar->value(), shownLater);
}

void tst_MainWindow::finishedRun()
{
    publishRelease();
    MessageBoxAnswerer answerer;
    Configuration configuration;
    prepareRun(configuration);
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *startButton = widget<QPushButton>(window, "startButton");
    widget(window, "changelogButton")->setFocus();

    QTest::mouseClick(startButton, Qt::LeftButton);
    QVERIFY(!startButton->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(startButton->text(), QStringLiteral("Start Murmelo"), 30000);
    QVERIFY(startButton->isEnabled());
    QTRY_VERIFY(startButton->hasFocus());
    QCOMPARE(widget<QProgressBar>(window, "totalProgressBar")->value(), 1000);
    QVERIFY2(logText(window).contains(QStringLiteral("Update successfully finished")), qPrintable(logText(window)));
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(QFile::exists(root->filePath(QStringLiteral("lib/libfoo.so"))));
    QVERIFY(widget(window, "totalSizeLabel")->isHidden());

    // Nothing starts by itself without automatic start; the button starts the client and closes.
    QVERIFY(!QFile::exists(clientStartedMarker()));
    QTest::mouseClick(startButton, Qt::LeftButton);
    QTRY_VERIFY(QFile::exists(clientStartedMarker()));
    QVERIFY(!window.isVisible());
}

void tst_MainWindow::cancelledRunRestarts()
{
    // The mirror has no release yet: the product ini is missing and the run is cancelled.
    MessageBoxAnswerer answerer;
    Configuration configuration;
    prepareRun(configuration);
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *startButton = widget<QPushButton>(window, "startButton");

    QTest::mouseClick(startButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(startButton->text(), QStringLiteral("Restart"), 30000);
    QTRY_VERIFY(!answerer.boxes.isEmpty() && answerer.boxes.constLast().title == QStringLiteral("Update"));
    const MessageBoxAnswerer::Box box = answerer.boxes.constLast();
    QCOMPARE(box.text, QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY(startButton->isEnabled());
    QCOMPARE(widget<QProgressBar>(window, "totalProgressBar")->value(), 0);
    QVERIFY(logText(window).endsWith(QStringLiteral("Update cancelled")));

    // Once the release is there, Restart runs the update to its end.
    publishRelease();
    QTest::mouseClick(startButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(startButton->text(), QStringLiteral("Start Murmelo"), 30000);
    QVERIFY(QFile::exists(root->filePath(QStringLiteral("client.bin"))));
}

void tst_MainWindow::closeDuringRun_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");

    QTest::newRow("No keeps the run going") << QMessageBox::No;
    QTest::newRow("Yes cancels and quits") << QMessageBox::Yes;
}

void tst_MainWindow::closeDuringRun()
{
    QFETCH(QMessageBox::StandardButton, answer);

    // The product ini never comes, so the run stays in its first phase.
    mirror->setFallbackHandler([](const HttpTestServer::Request &) {
        HttpTestServer::Response response = HttpTestServer::Response::withBody(QByteArray(1000, 'x'));
        response.fault = HttpTestServer::Fault::Stall;
        return response;
    });
    MessageBoxAnswerer answerer(answer);
    Configuration configuration;
    prepareRun(configuration);
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(widget(window, "startButton"), Qt::LeftButton);
    QTRY_VERIFY(mirror->totalRequestCount() > 0);

    if (answer == QMessageBox::No) {
        QVERIFY(!window.close());
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.constFirst().title, QStringLiteral("Question"));
        QCOMPARE(answerer.boxes.constFirst().text,
                 QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QVERIFY(window.isVisible());
        QVERIFY(!widget(window, "startButton")->isEnabled());
        return;
    }

    // Yes: the program ends when the cancellation has arrived, without the "Update cancelled" box.
    QTimer::singleShot(0, &window, [&window] { QVERIFY(!window.close()); });
    QCOMPARE(runEventLoop(), 0);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.constFirst().title, QStringLiteral("Question"));
    QVERIFY(logText(window).contains(QStringLiteral("User aborted update")));
    QVERIFY(!logText(window).contains(QStringLiteral("Update cancelled")));
}

void tst_MainWindow::closeConfirmedAsRunEnds_data()
{
    QTest::addColumn<QString>("answeredAt");
    QTest::addColumn<int>("autoStart");

    // The engine's progress reaches 1 when the last phase has finished; the root task ends after that,
    // so a cancel then finds nothing left to cancel and the run ends finished.
    QTest::newRow("Yes after the last phase, started by hand") << "last phase" << 0;
    QTest::newRow("Yes after the last phase, --nouser") << "last phase" << 1;
    QTest::newRow("Yes after the run ended, started by hand") << "run ended" << 0;
    QTest::newRow("Yes after the run ended, --nouser") << "run ended" << 1;
}

// Regression: a "Yes, abort" that came too late for the run was lost; the window stayed, or with
// automatic start the client was started. The program ends as asked, the client does not start.
void tst_MainWindow::closeConfirmedAsRunEnds()
{
    QFETCH(QString, answeredAt);
    QFETCH(int, autoStart);

    publishRelease();
    Configuration configuration;
    prepareRun(configuration);
    configuration.autoStart = autoStart;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *engine = window.findChild<UpdateEngine *>();

    // The question opens as the run starts and is answered only at the chosen moment.
    const auto answerYes = [] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box && box->windowTitle() == QLatin1String("Question"))
            box->button(QMessageBox::Yes)->click();
    };
    connect(engine, &UpdateEngine::message, &window, [&](const QString &message) {
        if (message == QLatin1String("Starting update process"))
            QTimer::singleShot(0, &window, [&window] { window.close(); });
        if (answeredAt == QLatin1String("run ended") && message == QLatin1String("Update successfully finished"))
            answerYes();
    });
    connect(engine, &UpdateEngine::updateProgress, &window, [&](qreal doneFrac) {
        if (answeredAt == QLatin1String("last phase") && doneFrac > 0.9999)
            answerYes();
    });
    QTimer::singleShot(0, &window, [&window] { window.onAutoStartUpdate(); });

    QCOMPARE(runEventLoop(), 0);
    QVERIFY2(logText(window).contains(QStringLiteral("Update successfully finished")), qPrintable(logText(window)));
    QVERIFY(QFile::exists(root->filePath(QStringLiteral("lib/libfoo.so"))));
    // The client would start 1000 ms after the end; give it well beyond that.
    QTest::qWait(1500);
    QVERIFY(!QFile::exists(clientStartedMarker()));
}

void tst_MainWindow::automaticStart_data()
{
    QTest::addColumn<bool>("changelogOpen");

    QTest::newRow("client starts by itself") << false;
    QTest::newRow("not while the changelog is open") << true;
}

void tst_MainWindow::automaticStart()
{
    QFETCH(bool, changelogOpen);

    publishRelease();
    MessageBoxAnswerer answerer;
    Configuration configuration;
    prepareRun(configuration);
    configuration.autoStart = 1;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *startButton = widget<QPushButton>(window, "startButton");
    QVERIFY(!startButton->isEnabled());

    window.onAutoStartUpdate();
    if (changelogOpen)
        QTest::mouseClick(widget(window, "changelogButton"), Qt::LeftButton);

    if (!changelogOpen) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(clientStartedMarker()), 30000);
        QVERIFY(!window.isVisible());
        QCOMPARE(startButton->text(), QStringLiteral("Start Update"));
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(startButton->text(), QStringLiteral("Start Murmelo"), 30000);
    QVERIFY(startButton->isEnabled());
    // The client would have started 1000 ms after the end; give it well beyond that.
    QTest::qWait(1500);
    QVERIFY(!QFile::exists(clientStartedMarker()));
    QVERIFY(window.isVisible());
}

void tst_MainWindow::fatalErrorEndsLoop_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("status");

    QTest::newRow("invalid proxy, found while the engine was built")
        << "proxy" << "'http://[::1' is an invalid proxy specification" << 2;
    QTest::newRow("engine: mirrors.ini missing") << "mirrors" << "mirrors.ini is missing, cannot proceed." << 2;
    QTest::newRow("configuration: no temporary directory") << "tmp" << "Unable to get temp directory." << 1;
}

void tst_MainWindow::fatalErrorEndsLoop()
{
    QFETCH(QString, fault);
    QFETCH(QString, text);
    QFETCH(int, status);

    if (fault == QLatin1String("proxy")) {
        QSettings(root->filePath(QStringLiteral("update.ini")), QSettings::IniFormat)
            .setValue(QStringLiteral("update/proxy"), QStringLiteral("http://[::1"));
    } else if (fault == QLatin1String("mirrors")) {
        QVERIFY(QFile::remove(root->filePath(QStringLiteral("mirrors.ini"))));
    }
    MessageBoxAnswerer answerer;
    Configuration configuration;
    prepareRun(configuration);
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // As the program does it: the event loop runs next.
    window.setUIToConfigSpecs();
    if (fault == QLatin1String("tmp"))
        qputenv("TMPDIR", QFile::encodeName(root->filePath(QStringLiteral("missing"))));
    if (fault != QLatin1String("proxy")) {
        QTimer::singleShot(0, &window, [&window] {
            QTest::mouseClick(widget(window, "startButton"), Qt::LeftButton);
        });
    }

    QCOMPARE(runEventLoop(), status);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.constFirst().title, QStringLiteral("Error"));
    QCOMPARE(answerer.boxes.constFirst().text, text);
    QCOMPARE(answerer.boxes.constFirst().icon, QMessageBox::Critical);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
