#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget *parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString &url)
{
    targetUrl = url;
}

void UrlClickLabel::openWebUrl(const QString &url)
{
    const QUrl address(url);
    const QString scheme = address.scheme();
    if (address.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")))
        QDesktopServices::openUrl(address);
}

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    openWebUrl(targetUrl);
    event->accept();
}
