#include "ui/changelogviewer.h"

#include "app/configuration.h"
#include "net/mirrors.h"
#include "ui/richtextsanitizer.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QHBoxLayout>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QScreen>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int RequestLimitMs = 2000;
constexpr int InitialWidth = 617;
constexpr int InitialHeight = 500;
constexpr int LineWidthAllowance = 50; // frame, margins and the vertical scroll bar
// A changelog is a page of text; a mirror that sends more is treated as failing, before the dialog's
// memory fills within its time limit.
constexpr qint64 MaxChangelogBytes = 1 << 20;
}

ChangeLogViewer *ChangeLogViewer::m_instance = nullptr;

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget *parent, const QString &version)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        m_instance->requestRemote(version);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

ChangeLogViewer *ChangeLogViewer::instance()
{
    return m_instance;
}

ChangeLogViewer::ChangeLogViewer(QWidget *parent)
    : QDialog(parent, Qt::WindowSystemMenuHint)
    , textEdit(new QTextEdit(this))
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));

    textEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    textEdit->setReadOnly(true);
    textEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont typewriter;
    typewriter.setStyleHint(QFont::TypeWriter);
    QFont font = textEdit->font();
    font.setFamily(typewriter.defaultFamily());
    textEdit->setFont(font);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &ChangeLogViewer::close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(textEdit);
    layout->addWidget(buttons);
    resize(InitialWidth, InitialHeight);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
}

void ChangeLogViewer::requestRemote(QString version)
{
    if (reply)
        return;
    textEdit->setText(tr("Loading..."));
    if (!version.isEmpty())
        this->version = version;

    const QString releaseUrl = getRemoteUrl();
    if (releaseUrl.isEmpty()) {
        textEdit->setText(tr("Failed to load changelog."));
        return;
    }

    if (!network) {
        network = new QNetworkAccessManager(this);
        // A redirect is a failure of that server, like the "document has moved" page it comes with.
        network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    reply = network->get(QNetworkRequest(QUrl(releaseUrl + QStringLiteral("/changelog_client.txt"))));
    connect(reply, &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);
    connect(reply, &QNetworkReply::downloadProgress, this, [this, current = reply](qint64 received, qint64 total) {
        // Only the request in flight: a progress report of one already given up may still arrive.
        if ((received > MaxChangelogBytes || total > MaxChangelogBytes) && current == reply)
            current->abort(); // finishes with an error: the next server is tried
    });

    if (!requestTimer) {
        requestTimer = new QTimer(this);
        requestTimer->setSingleShot(true);
        requestTimer->setInterval(RequestLimitMs);
        connect(requestTimer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    // Started once per request and never extended by arriving data: the limit covers the whole
    // transfer, so a mirror that trickles bytes cannot keep the dialog loading.
    requestTimer->start();
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (mirrorsLoaded)
        return getRandomMirror();
    mirrorsLoaded = true;

    // Mirrors knows both files and how a release directory is formed from a base URL; the local
    // object's messages go nowhere, as nothing here is fatal.
    Mirrors mirrors;
    const int clientVersion = version.toInt();
    const QString root = Configuration::getAppRootPath();
    const QString updateIni = root + QStringLiteral("/update.ini");
    if (QFile::exists(updateIni) && mirrors.initAlpha(updateIni, clientVersion))
        return mirrors.getMirrorList().constFirst().url;

    const QString mirrorsIni = root + QStringLiteral("/mirrors.ini");
    if (!QFile::exists(mirrorsIni))
        return QString();
    mirrors.initDefault(mirrorsIni, clientVersion);
    // A mirror without a URL is listed as "/" and the version; it is no candidate.
    const QString noUrl = QLatin1Char('/') + QString::number(clientVersion);
    for (const FTPSiteAccessData &mirror : mirrors.getMirrorList()) {
        if (mirror.url != noUrl)
            mirrorUrls.append(mirror.url);
    }
    return getRandomMirror();
}

QString ChangeLogViewer::getRandomMirror()
{
    if (mirrorUrls.isEmpty())
        return QString();
    return mirrorUrls.takeAt(QRandomGenerator::global()->bounded(mirrorUrls.size()));
}

void ChangeLogViewer::onRequestTimeout()
{
    if (reply)
        reply->abort(); // finishes the reply with an error, handled in onRequestFinished()
}

void ChangeLogViewer::onRequestFinished()
{
    if (!reply)
        return;
    QNetworkReply *finished = reply;
    reply = nullptr;
    finished->deleteLater();
    requestTimer->stop();

    const QVariant status = finished->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool success = finished->error() == QNetworkReply::NoError
        && (!status.isValid() || (status.toInt() >= 200 && status.toInt() < 300));
    // The limit is also checked here: a fast server may have delivered everything at once.
    if (success && finished->bytesAvailable() <= MaxChangelogBytes) {
        QTextStream stream(finished);
        const QString text = stream.readAll();
        if (!text.contains(QLatin1String("document has moved"))) {
            load(text);
            return;
        }
    }
    requestRemote(QString());
}

void ChangeLogViewer::load(const QString &text)
{
    // Rich text from a mirror is unsigned: only the allowed markup reaches the layout, and nothing in
    // it can make the editor load a resource.
    if (Qt::mightBeRichText(text))
        textEdit->setHtml(RichTextSanitizer::sanitize(text, RichTextSanitizer::Changelog));
    else
        textEdit->setPlainText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(textEdit->font());
    int widestLine = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        widestLine = qMax(widestLine, metrics.horizontalAdvance(line));
    int width = widestLine > 0 ? widestLine + LineWidthAllowance : InitialWidth;
    int height = InitialHeight;

    const QRect available = screen()->availableGeometry();
    if (available.isValid()) {
        width = qMin(width, available.width());
        height = qMin(available.height(), InitialHeight);
    }
    resize(width, height);
}
