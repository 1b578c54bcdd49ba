#include "ui/mainwindow.h"

#include "ui_mainwindow.h"

#include "app/configuration.h"
#include "app/processtools.h"
#include "app/singleinstancechecker.h"
#include "ui/batchedlog.h"
#include "ui/changelogviewer.h"
#include "update/updateengine.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QScrollBar>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>

namespace {
constexpr int ClientStartDelayMs = 1000;
// Steps of the bar between its start and its end are shown at most this often: the bar repaints itself at
// once for every step it shows, and thousands of small files make hundreds of steps a second.
constexpr int ProgressFrameMs = 40;
const QString MakerWebSite = QStringLiteral("https://murmelo.example/");
}

MainWindow::MainWindow(Configuration &configuration)
    : QWidget(nullptr)
    , ui(new Ui_MainWindow)
    , configuration(configuration)
    , engine(new UpdateEngine(configuration, this))
{
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    ui->setupUi(this);
    detailsLog = new BatchedLog(ui->outputTextEdit);
    // Queued, so that the log's visibility (toggled by the form's own connection) has changed first.
    connect(ui->detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed, Qt::QueuedConnection);
    ui->murmeloLabel->setUrl(MakerWebSite);

    ui->outputTextEdit->hide();
    onDownloadProgress(0, 0, 0, false);

    auto *instanceServer = new SingleInstanceChecker(this);
    connect(instanceServer, &SingleInstanceChecker::otherInstanceActivate, this, &MainWindow::onOtherInstanceActivate);
    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);

    engine->getBanner();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::setUIToConfigSpecs()
{
    QString channelName;
    switch (configuration.channel) {
    case Stable:
        channelName = tr("Stable");
        break;
    case Beta:
        channelName = tr("Beta");
        break;
    case Alpha:
        channelName = tr("Alpha");
        break;
    }

    QString text;
    // The name comes from the command line or the update server; escaped, so that "<" or "&" in it
    // show as written instead of being taken for markup.
    if (!configuration.versionName.isEmpty()) {
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">")
            + tr("Update to Murmelo %1").arg(configuration.versionName.toHtmlEscaped()) + QStringLiteral("</div>");
    }
    text += QStringLiteral("<div style=\"margin-top:8px\">")
        + tr("You are currently on <strong>%1 channel</strong>.").arg(channelName) + QStringLiteral("</div>");
    ui->versionLabel->setText(text);

    if (configuration.autoStart == 1)
        ui->startButton->setEnabled(false);

    // The engine found this while it was built, before anyone listened. Shown from the program's event
    // loop, which the box then ends with status 2. Not earlier: inside the Retry box of the command
    // line's version query, ending that box's loop would not end the program but make the box return
    // at once, again and again.
    const QString constructionError = engine->pendingFatalError();
    if (!constructionError.isEmpty())
        QTimer::singleShot(0, this, [this, constructionError] { onFatalError(constructionError); });
}

void MainWindow::setNews()
{
    ui->newsBanner->setNews(configuration.news);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    QMessageBox::critical(nullptr, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    // The program ends after this box. Without this, the automatic start, firing while the box waits,
    // would meet the same error again and stack a second box on top.
    disconnect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    QMessageBox::critical(this, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    QCoreApplication::exit(2);
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    detailsLog->flush();
    QMessageBox::critical(this, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
}

void MainWindow::onAutoStartUpdate()
{
    autoStarted = true;
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (updateDone) {
        ProcessTools::startMx4Client();
        close();
        return;
    }
    if (engine->busy() || !engine->initialize())
        return;
    ui->startButton->setEnabled(false);
    engine->startUpdate();
}

void MainWindow::onAppendText(QString message)
{
    detailsLog->append(message);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    const int value = int(doneFrac * 1000);
    if (value == 0 || value == ui->totalProgressBar->maximum()) {
        showProgress(value);
        return;
    }
    pendingProgress = value;
    if (!progressFrame.isActive())
        progressFrame.start(ProgressFrameMs, this);
}

void MainWindow::showProgress(int value)
{
    progressFrame.stop();
    ui->totalProgressBar->setValue(value);
}

void MainWindow::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != progressFrame.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    showProgress(pendingProgress);
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading)
{
    ui->totalSizeLabel->setVisible(downloading);
    ui->totalTotalSizeLabel->setVisible(downloading);
    ui->downloadSpeedLabel->setVisible(downloading);
    ui->label_6->setVisible(downloading);
    if (!downloading)
        return;
    // Decimal kilobytes, truncated: 999 bytes show as 0 KB.
    ui->totalSizeLabel->setText(tr("%1 KB").arg(downloadDone / 1000));
    ui->totalTotalSizeLabel->setText(tr("%1 KB").arg(downloadTotal / 1000));
    ui->downloadSpeedLabel->setText(tr("%1 KB/s").arg(speed / 1000));
}

void MainWindow::onUpdateFinished()
{
    updateDone = true;
    // The user confirmed closing, but the cancellation came after the last step was done: the run is
    // complete, and the program ends as asked, without starting the client.
    if (closeRequested) {
        QCoreApplication::quit();
        return;
    }
    // Someone reading the changelog decides when to go on.
    if (configuration.autoStart == 1 && !ChangeLogViewer::instance()) {
        QTimer::singleShot(ClientStartDelayMs, this, &MainWindow::startClientAutomatically);
        return;
    }
    ui->startButton->setText(tr("Start Murmelo"));
    // Enabled first: a disabled button does not take the focus.
    ui->startButton->setEnabled(true);
    ui->startButton->setFocus();
}

void MainWindow::startClientAutomatically()
{
    if (closeRequested)
        return;
    if (closeQuestionOpen) {
        clientStartHeld = true;
        return;
    }
    on_startButton_clicked();
}

void MainWindow::onUpdateCanceled()
{
    detailsLog->flush();
    if (closeRequested) {
        QCoreApplication::quit();
        return;
    }
    updateDone = false;
    engine->reset();
    ui->startButton->setText(tr("Restart"));
    ui->startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    detailsLog->flush();
    showProgress(0);
    QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    // Raising alone leaves a minimised window where it is, out of the user's sight.
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    QPixmap image;
    if (!image.loadFromData(bannerImage))
        return;
    const QUrl url(clickUrl);
    ui->banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    ui->banner->setUrl(clickUrl);
    ui->banner->setPixmap(image);
}

void MainWindow::onDetailsPressed()
{
    if (ui->outputTextEdit->isVisible()) {
        QScrollBar *scrollBar = ui->outputTextEdit->verticalScrollBar();
        scrollBar->setValue(scrollBar->maximum());
    }
}

void MainWindow::on_changelogButton_clicked()
{
    ChangeLogViewer::showRemoteChangeLogDialog(this, QString::number(configuration.clientVersion));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeRequested)
        return;
    // The run goes on while the question waits and may end before the answer.
    closeQuestionOpen = true;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No);
    closeQuestionOpen = false;
    if (answer != QMessageBox::Yes) {
        if (clientStartHeld) {
            clientStartHeld = false;
            on_startButton_clicked();
        }
        return;
    }
    closeRequested = true;
    if (engine->busy())
        engine->cancelUpdate();
    else
        QCoreApplication::quit(); // the run ended while the question was open
}
