#pragma once

#include <QObject>

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Drives one update run at a time for the main window and holds what lives as long as the window:
// the network access manager with its proxy, the mirror list of the current run, the progress timer
// and the banner download. initialize() settles the run's temporary directory (resuming or discarding
// the one the session record names) and loads the mirrors; startUpdate() runs a MainTaskSpecification
// and forwards its signals. A run ends with updateFinished() (temporary files removed) or
// updateCanceled() (temporary files and record kept for a resume); reset() makes the engine idle again.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum State {
        Idle = 0,
        Initialized = 1,
        Running = 2,
        Finished = 3,
        Canceled = 4,
    };

    static constexpr int TimerInterval = 1000; // ms
    static constexpr int DefaultProxyPort = 3128;
    static constexpr qint64 MaxBannerSize = 270000; // bytes

    UpdateEngine(Configuration &configuration, QObject *parent);

    bool initialize();
    bool startUpdate();
    bool busy() const;
    void reset();
    void cleanup();
    void cleanupDirectory(const QString &dir);
    static void removeOldFiles(const QString &dir);
    void getBanner();

    // A fatal error found while the engine was being built, before anyone could listen: today only
    // an invalid proxy setting. The window shows it once it has connected to fatalError(); should
    // it not, initialize() raises it again and refuses to start.
    QString pendingFatalError() const;

    int state() const { return engineState; }

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

public slots:
    void cancelUpdate();
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();

private:
    void setUpProxy();
    bool removeTempDir(const QString &dir);
    void dropBannerReply();

    int engineState = Idle;
    Configuration *configuration;
    Mirrors *mirrors = nullptr;
    MainTaskSpecification *mainTask = nullptr;
    QTimer *timer;
    QNetworkAccessManager *manager;
    QString clickUrl;
    QNetworkReply *bannerReply = nullptr;
    QString constructionError;
};
