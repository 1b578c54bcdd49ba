#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "net/banner.h"
#include "support/httptestserver.h"
#include "support/messageboxanswerer.h"
#include "support/udptestserver.h"
#include "support/urlrecorder.h"
#include "ui/changelogviewer.h"
#include "ui/mainwindow.h"
#include "update/updateengine.h"

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
    void headerText_data();
    void headerText();
    void transferFigures_data();
    void transferFigures();
    void detailsShowsLogEnd();
    void closeWhenIdle();
    void otherInstanceRaisesWindow();
    void bannerFromEngine_data();
    void bannerFromEngine();
    void changelogButton();

private:
    QScopedPointer<QTemporaryDir> root;
    // The engine asks for a banner at construction; by default nobody answers on this port.
    QScopedPointer<UdpTestServer> bannerServer;
};

void tst_MainWindow::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
    Configuration::setAppRootPathForTesting(root->path());
    QSettings(root->filePath(QStringLiteral("update.ini")), QSettings::IniFormat)
        .setValue(QStringLiteral("update/server"), QStringLiteral("127.0.0.1"));
    bannerServer.reset(new UdpTestServer([](const UdpTestServer::Request &) { return QByteArray(); }));
    Banner::setPortForTesting(bannerServer->port());
}

void tst_MainWindow::cleanup()
{
    Banner::setPortForTesting(0);
    Configuration::setAppRootPathForTesting(QString());
    bannerServer.reset();
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
    HttpTestServer mirror;
    QVERIFY(mirror.listen());
    mirror.setHandler(QStringLiteral("/3021/changelog_client.txt"), [](const HttpTestServer::Request &) {
        return HttpTestServer::Response::withBody("- better\n");
    });
    QSettings mirrors(root->filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
    mirrors.beginWriteArray(QStringLiteral("mirrors"));
    mirrors.setArrayIndex(0);
    mirrors.setValue(QStringLiteral("mirror"), QStringLiteral("one"));
    mirrors.endArray();
    mirrors.setValue(QStringLiteral("one/url"), mirror.url().toString());
    mirrors.sync();

    Configuration configuration;
    configuration.clientVersion = 3021;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(widget(window, "changelogButton"), Qt::LeftButton);
    ChangeLogViewer *viewer = ChangeLogViewer::instance();
    QVERIFY(viewer);
    QCOMPARE(viewer->parentWidget(), &window);
    QTRY_COMPARE(mirror.requestCount(QStringLiteral("/3021/changelog_client.txt")), 1);
    viewer->close();
    QTRY_VERIFY(!ChangeLogViewer::instance());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
