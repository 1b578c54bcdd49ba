#pragma once

#include <QBasicTimer>
#include <QWidget>

class QTextDocument;

// One-line news ticker. The rich text enters at the right edge, moves left by half a pixel every
// 10 ms (50 px/s) and, once it has left the widget, the banner stays blank for 3 s before the text
// enters again. A click on a link opens it; a click elsewhere opens the address of a
// "<!--URL=address-->" comment in the news text, if there is one.
class NewsBanner : public QWidget
{
    Q_OBJECT

public:
    explicit NewsBanner(QWidget *parent = nullptr);

    void setNews(const QString &news);
    QString anchorAt(const QPoint &position) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    QBasicTimer timer;
    QTextDocument *document;
    float offset = 0;   // the text's left edge relative to the widget's left edge
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false; // the text has left the widget; blank until the next tick
    QString newsUrl;     // opened by a click that hits no link
};
