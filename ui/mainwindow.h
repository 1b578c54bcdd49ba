#pragma once

#include <QBasicTimer>
#include <QWidget>

class BatchedLog;
class Configuration;
class QCloseEvent;
class Ui_MainWindow;
class UpdateEngine;

// The program's only window. It owns the update engine and the single-instance server, starts a run
// from its button (or the automatic start), shows the run's progress and log, and afterwards starts the
// client. Closing it during a run cancels the run first; the program then ends when the cancellation
// has arrived. Fatal errors end the event loop (status 1 for the configuration, 2 for the engine).
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(Configuration &configuration);
    ~MainWindow() override;

    // Once the command line is accepted: header text, start button, and a fatal error that the
    // engine found while it was built.
    void setUIToConfigSpecs();
    void setNews();

public slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(QString message);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    // The client start 1000 ms after an automatic run; held back while the user is asked about closing.
    void startClientAutomatically();
    void showProgress(int value);

    Ui_MainWindow *ui;
    Configuration &configuration;
    UpdateEngine *engine;
    BatchedLog *detailsLog = nullptr;
    QBasicTimer progressFrame; // runs while a step of the bar waits to be shown
    int pendingProgress = 0;
    bool updateDone = false;     // the start button now starts the client
    bool autoStarted = false;    // the run was started by the automatic-start timer
    bool closeRequested = false; // quit as soon as the engine reports the cancellation
    bool closeQuestionOpen = false;
    bool clientStartHeld = false; // the automatic client start came while the close question was open
};
