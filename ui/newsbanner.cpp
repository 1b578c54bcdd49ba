#include "ui/newsbanner.h"

#include "ui/richtextsanitizer.h"
#include "ui/urlclicklabel.h"

#include <QAbstractTextDocumentLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimerEvent>

namespace {
constexpr int ScrollPeriodMs = 10;
constexpr int BlankPauseMs = 3000;
constexpr float StepPixels = 0.5f;
// The text enters this far inside the right edge and counts as gone this far beyond the left edge.
constexpr int EdgeMargin = 10;
// The news comes unauthenticated; whatever its markup says, the banner takes at most this many lines
// of the window.
constexpr int MaxLines = 3;
}

NewsBanner::NewsBanner(QWidget *parent)
    : QWidget(parent)
    , document(new QTextDocument(this))
{
    setObjectName(QStringLiteral("NewsBanner"));
    setMinimumHeight(16);
    setMaximumHeight(16);
}

void NewsBanner::setNews(const QString &news)
{
    newsUrl.clear();
    // Greedy and across line breaks: with several comments the capture runs to the last "-->", so
    // only a text whose first comment is the URL comment and that has no later comment yields a target.
    static const QRegularExpression comment(QStringLiteral("<!--(.+)-->"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = comment.match(news);
    if (match.hasMatch()) {
        const QString content = match.captured(1);
        const int equals = content.indexOf(QLatin1Char('='));
        if (equals >= 0 && QStringView(content).left(equals) == QLatin1String("URL"))
            newsUrl = content.mid(equals + 1);
    }

    // The comment above is read from the text as sent; the document gets only the allowed markup.
    document->setHtml(RichTextSanitizer::sanitize(news, RichTextSanitizer::NewsLine));
    document->setDocumentMargin(0);
    paused = false;
    offset = width() - EdgeMargin;
    // Laid out once here; every frame only translates and draws the finished layout.
    const QSizeF size = document->size();
    textWidth = int(size.width());
    textHeight = qMin(int(size.height()), MaxLines * fontMetrics().lineSpacing());
    setMinimumHeight(textHeight);
    setMaximumHeight(textHeight);
    timer.start(ScrollPeriodMs, this);
}

QString NewsBanner::anchorAt(const QPoint &position) const
{
    return document->documentLayout()->anchorAt(QPointF(int(position.x() - offset), position.y()));
}

void NewsBanner::paintEvent(QPaintEvent*)
{
    if (paused)
        return;
    if (width() < int(offset))
        offset = width() - EdgeMargin;

    QPainter painter(this);
    painter.translate(offset, (height() - textHeight) * 0.5);
    // Clipping to the visible strip keeps a long text cheap to draw.
    document->drawContents(&painter, QRectF(-offset, 0, width(), height()));

    if (int(offset) + textWidth < -EdgeMargin) {
        paused = true;
        offset = width() - EdgeMargin;
        timer.start(BlankPauseMs, this);
    }

    const Qt::CursorShape shape = anchorAt(mapFromGlobal(QCursor::pos())).isEmpty()
        ? Qt::ArrowCursor : Qt::PointingHandCursor;
    if (cursor().shape() != shape)
        setCursor(shape);
}

void NewsBanner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        timer.start(ScrollPeriodMs, this);
    }
    offset -= StepPixels;
    update();
}

void NewsBanner::mousePressEvent(QMouseEvent *event)
{
    const QString anchor = anchorAt(event->position().toPoint());
    UrlClickLabel::openWebUrl(anchor.isEmpty() ? newsUrl : anchor);
    event->accept();
}
