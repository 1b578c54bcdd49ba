#pragma once

#include <QDialog>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// The "View Changes" dialog: fetches "changelog_client.txt" of a release from the alpha server or from
// the mirrors, one server after another in random order, and sizes itself to the text. At most one
// exists at a time (instance()); it deletes itself when closed, which clears instance().
class ChangeLogViewer : public QDialog
{
    Q_OBJECT

public:
    // Creates the dialog and starts its request unless one exists; then brings it to the front.
    static void showRemoteChangeLogDialog(QWidget *parent, const QString &version);
    static ChangeLogViewer *instance();

    explicit ChangeLogViewer(QWidget *parent = nullptr);
    ~ChangeLogViewer() override;

    // An empty version keeps the stored one; that is how a failed request moves on to the next server.
    void requestRemote(QString version);
    // The release directory (server base, "/" and version) on the next server not tried yet, or "".
    QString getRemoteUrl();
    QString getRandomMirror();
    void load(const QString &text);

private slots:
    void onRequestFinished();
    void onRequestTimeout();

private:
    static ChangeLogViewer *m_instance;

    QTextEdit *textEdit;
    QNetworkAccessManager *network = nullptr;
    QNetworkReply *reply = nullptr;
    QTimer *requestTimer = nullptr;
    QStringList mirrorUrls; // release directories not tried yet
    bool mirrorsLoaded = false;
    QString version;
};
