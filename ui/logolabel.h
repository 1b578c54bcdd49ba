#pragma once

#include "ui/urlclicklabel.h"

#include <QPixmap>

// The maker's logo as a link to its web site. It is drawn from its shapes for the device pixel ratio of
// the screen the window is on, and drawn again when the window moves to a screen with another one, so
// that it is sharp at any ratio (a bitmap would be scaled and blurred).
class LogoLabel : public UrlClickLabel
{
    Q_OBJECT

public:
    explicit LogoLabel(QWidget *parent = nullptr);

    // The logo, `size` device-independent pixels square, for the given device pixel ratio.
    static QPixmap render(int size, qreal devicePixelRatio);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void renderForScreen();
};
