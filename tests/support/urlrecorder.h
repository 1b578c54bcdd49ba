#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the desktop's browser: while it exists, QDesktopServices::openUrl() hands every
// http, https and file address to it instead of starting a program.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    explicit UrlRecorder(QObject *parent = nullptr);
    ~UrlRecorder() override;

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url);
};
