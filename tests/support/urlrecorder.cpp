#include "support/urlrecorder.h"

#include <QDesktopServices>

static const char *const Schemes[] = { "http", "https", "file" };

UrlRecorder::UrlRecorder(QObject *parent)
    : QObject(parent)
{
    for (const char *scheme : Schemes)
        QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
}

UrlRecorder::~UrlRecorder()
{
    for (const char *scheme : Schemes)
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
}

void UrlRecorder::open(const QUrl &url)
{
    opened.append(url);
}
