#pragma once

#include <QLabel>

// A label that opens a fixed web address when clicked; the main window uses it for the logo and the
// banner image.
class UrlClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url);

    // Opens an http or https address in the desktop's browser and ignores everything else: the news
    // text and the banner address arrive unauthenticated from the network, and other schemes (file:,
    // custom handlers) could make the desktop open or run local things.
    static void openWebUrl(const QString &url);

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString targetUrl;
};
