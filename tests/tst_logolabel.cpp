#include "ui/logolabel.h"

#include <QApplication>
#include <QImage>
#include <QTest>

// The logo drawn for the screen: device pixels in proportion to the ratio, the shapes where they belong.
class tst_LogoLabel : public QObject
{
    Q_OBJECT

private slots:
    void render_data();
    void render();
    void shownAtScreenRatio();
};

void tst_LogoLabel::render_data()
{
    QTest::addColumn<qreal>("ratio");
    QTest::newRow("1") << 1.0;
    QTest::newRow("1.25") << 1.25;
    QTest::newRow("1.5") << 1.5;
    QTest::newRow("2") << 2.0;
    QTest::newRow("3") << 3.0;
}

void tst_LogoLabel::render()
{
    QFETCH(qreal, ratio);
    const QPixmap logo = LogoLabel::render(48, ratio);
    QCOMPARE(logo.devicePixelRatio(), ratio);
    QCOMPARE(logo.size(), QSize(qRound(48 * ratio), qRound(48 * ratio)));
    QCOMPARE(logo.deviceIndependentSize(), QSizeF(48, 48));

    // Sampled on the 48-unit grid: outside the disc, the disc, the letter's left stroke, the arrow.
    const QImage image = logo.toImage();
    const auto at = [&](qreal x, qreal y) { return image.pixelColor(int(x * ratio), int(y * ratio)); };
    QCOMPARE(at(0.5, 0.5).alpha(), 0);
    const QColor disc = at(24, 8);
    QVERIFY2(disc.blue() > 150 && disc.red() < 100, qPrintable(disc.name()));
    QCOMPARE(at(11, 24), QColor(Qt::white));
    const QColor arrow = at(24, 35.5);
    QVERIFY2(arrow.red() > 200 && arrow.green() > 150 && arrow.blue() < 120, qPrintable(arrow.name()));
    // Sharp: the letter's stroke ends within a device pixel of its edge (x = 13.5), rather than fading
    // over several as a scaled-up bitmap would.
    QCOMPARE(at(13.5 - 1 / ratio, 24), QColor(Qt::white));
    QVERIFY(at(13.5 + 1 / ratio, 24).blue() > 150 && at(13.5 + 1 / ratio, 24).red() < 100);
}

void tst_LogoLabel::shownAtScreenRatio()
{
    LogoLabel label;
    label.resize(48, 48);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QTRY_COMPARE(label.pixmap().devicePixelRatio(), label.devicePixelRatioF());
    QCOMPARE(label.devicePixelRatioF(), 1.5);
    QCOMPARE(label.pixmap().size(), QSize(72, 72));
}

// The screen is scaled by 1.5, as on a laptop with a high-resolution panel.
int main(int argc, char *argv[])
{
    qputenv("QT_SCALE_FACTOR", "1.5");
    QApplication application(argc, argv);
    tst_LogoLabel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logolabel.moc"
