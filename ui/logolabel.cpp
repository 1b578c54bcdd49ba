#include "ui/logolabel.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int LogoSize = 48;
}

LogoLabel::LogoLabel(QWidget *parent) : UrlClickLabel(parent)
{
    renderForScreen();
}

QPixmap LogoLabel::render(int size, qreal devicePixelRatio)
{
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // The shapes are laid out on a 48 by 48 grid.
    painter.scale(size / 48.0, size / 48.0);

    // A blue disc with a darker rim, lighter towards the top.
    QLinearGradient fill(0, 1, 0, 47);
    fill.setColorAt(0, QColor(0x3a, 0x9a, 0xdc));
    fill.setColorAt(1, QColor(0x17, 0x55, 0x9e));
    painter.setPen(QPen(QColor(0x0e, 0x3b, 0x73), 1.5));
    painter.setBrush(fill);
    painter.drawEllipse(QRectF(1.25, 1.25, 45.5, 45.5));

    // A white "M" of one rounded stroke.
    QPainterPath letter;
    letter.moveTo(11, 33);
    letter.lineTo(11, 14);
    letter.lineTo(24, 25.5);
    letter.lineTo(37, 14);
    letter.lineTo(37, 33);
    painter.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(letter);

    // A yellow arrow below it, pointing down: the update.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xff, 0xcc, 0x44));
    painter.drawPolygon(QPolygonF({QPointF(19.5, 34), QPointF(28.5, 34), QPointF(24, 39)}));
    return pixmap;
}

void LogoLabel::renderForScreen()
{
    setPixmap(render(LogoSize, devicePixelRatioF()));
}

void LogoLabel::paintEvent(QPaintEvent *event)
{
    // Painting is the one moment at which the ratio of the screen the window is on is certain.
    if (!qFuzzyCompare(pixmap().devicePixelRatio(), devicePixelRatioF()))
        renderForScreen();
    UrlClickLabel::paintEvent(event);
}
