#include "support/urlrecorder.h"
#include "ui/newsbanner.h"

#include <QAbstractEventDispatcher>
#include <QTextDocument>
#include <QtTest>

namespace {

// Drives the banner's scroll timer by hand, so that the arithmetic of a pass can be checked tick by
// tick without waiting 13 s of wall-clock time. The test never spins the event loop after setNews(),
// so the real timer never fires in between.
class ManualBanner : public NewsBanner
{
public:
    using NewsBanner::NewsBanner;

    QAbstractEventDispatcher::TimerInfo scrollTimer()
    {
        const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(this);
        return timers.size() == 1 ? timers.first() : QAbstractEventDispatcher::TimerInfo(-1, -1, {});
    }

    // One timer tick followed by the frame it schedules; returns the frame.
    QImage tick()
    {
        QTimerEvent event(scrollTimer().timerId);
        timerEvent(&event);
        return frame();
    }

    QImage frame() { return grab().toImage(); }
};

// First and last column that holds a dark (text) pixel, or -1 for a blank frame.
QPair<int, int> inkColumns(const QImage &image)
{
    int first = -1;
    int last = -1;
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (qGray(image.pixel(x, y)) < 128) {
                if (first < 0)
                    first = x;
                last = x;
                break;
            }
        }
    }
    return { first, last };
}

int laidOutWidth(const QString &news)
{
    QTextDocument document;
    document.setHtml(news);
    document.setDocumentMargin(0);
    return int(document.size().width());
}

int anchorColumn(const NewsBanner &banner)
{
    for (int x = 0; x < banner.width(); ++x) {
        if (!banner.anchorAt(QPoint(x, banner.height() / 2)).isEmpty())
            return x;
    }
    return -1;
}

} // namespace

class tst_NewsBanner : public QObject
{
    Q_OBJECT

private slots:
    void clickTarget_data();
    void clickTarget();
    void anchorBesideComment();
    void scrollPass_data();
    void scrollPass();
    void narrowingRestartsAtNewEdge();
    void outsideMarkup_data();
    void outsideMarkup();
};

void tst_NewsBanner::clickTarget_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<bool>("onAnchor");
    QTest::addColumn<QList<QUrl>>("opened");

    const QUrl news("http://news.example/latest");
    QTest::newRow("leading URL comment") << "<!--URL=http://news.example/latest-->Fresh release out now"
                                         << false << QList<QUrl>{ news };
    QTest::newRow("trailing URL comment") << "Fresh release<!--URL=http://news.example/latest-->"
                                          << false << QList<QUrl>{ news };
    QTest::newRow("first '=' splits") << "<!--URL=http://news.example/?a=b-->Words" << false
                                      << QList<QUrl>{ QUrl("http://news.example/?a=b") };
    QTest::newRow("comment across lines") << "<!--URL=http://news.example/latest\n-->Words" << false
                                          << QList<QUrl>{ QUrl("http://news.example/latest\n") };
    QTest::newRow("lower-case key") << "<!--url=http://news.example/latest-->Words" << false
                                    << QList<QUrl>();
    QTest::newRow("blank before key") << "<!-- URL=http://news.example/latest-->Words" << false
                                      << QList<QUrl>();
    QTest::newRow("no '='") << "<!--URL http://news.example/-->Words" << false << QList<QUrl>();
    QTest::newRow("empty address") << "<!--URL=-->Words" << false << QList<QUrl>();
    QTest::newRow("no comment") << "Just words" << false << QList<QUrl>();
    // The match is greedy: it runs from the first "<!--" to the last "-->", so a URL comment
    // behind another comment is not recognised.
    QTest::newRow("URL comment after another comment")
        << "<!--note-->Words<!--URL=http://news.example/latest-->" << false << QList<QUrl>();
    QTest::newRow("link without comment") << "<a href=\"https://link.example/a\">Read more</a>" << true
                                          << QList<QUrl>{ QUrl("https://link.example/a") };
    QTest::newRow("link wins over comment")
        << "<a href=\"https://link.example/a\">Read more</a><!--URL=http://news.example/latest-->"
        << true << QList<QUrl>{ QUrl("https://link.example/a") };
    QTest::newRow("local file link ignored") << "<a href=\"file:///tmp/run.sh\">Run</a>" << true
                                             << QList<QUrl>();
    QTest::newRow("local file comment ignored") << "<!--URL=file:///tmp/run.sh-->Words" << false
                                                << QList<QUrl>();
}

void tst_NewsBanner::clickTarget()
{
    QFETCH(QString, news);
    QFETCH(bool, onAnchor);
    QFETCH(QList<QUrl>, opened);

    UrlRecorder browser;
    ManualBanner banner;
    banner.resize(468, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(news);

    // The text enters at the right edge, so the left part of the banner is blank.
    QPoint position(5, banner.height() / 2);
    if (onAnchor) {
        position.setX(anchorColumn(banner));
        QVERIFY(position.x() >= 0);
    }
    QTest::mouseClick(&banner, Qt::LeftButton, {}, position);
    QCOMPARE(browser.opened, opened);
}

void tst_NewsBanner::anchorBesideComment()
{
    UrlRecorder browser;
    ManualBanner banner;
    banner.resize(468, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews("<a href=\"https://link.example/a\">Read</a> or wander elsewhere"
                   "<!--URL=http://news.example/latest-->");
    // Bring the whole text into view.
    QImage frame;
    for (int i = 0; i < 2 * 400; ++i)
        frame = banner.tick();
    const auto [first, last] = inkColumns(frame);
    QVERIFY(first >= 0 && last < banner.width() - 10);

    const QPoint onLink(anchorColumn(banner) + 2, banner.height() / 2);
    const QPoint onPlainText(last - 2, banner.height() / 2);
    QVERIFY(!banner.anchorAt(onLink).isEmpty());
    QVERIFY(banner.anchorAt(onPlainText).isEmpty());

    QCursor::setPos(banner.mapToGlobal(onLink));
    banner.frame();
    QCOMPARE(banner.cursor().shape(), Qt::PointingHandCursor);
    QCursor::setPos(banner.mapToGlobal(onPlainText));
    banner.frame();
    QCOMPARE(banner.cursor().shape(), Qt::ArrowCursor);

    QTest::mouseClick(&banner, Qt::LeftButton, {}, onLink);
    QTest::mouseClick(&banner, Qt::LeftButton, {}, onPlainText);
    QCOMPARE(browser.opened,
             (QList<QUrl>{ QUrl("https://link.example/a"), QUrl("http://news.example/latest") }));
}

void tst_NewsBanner::scrollPass_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("news");

    QTest::newRow("banner width") << 468 << "Murmelo 4.2 is out: faster downloads";
    QTest::newRow("narrow, long text") << 120 << "A much longer line of news than fits into the banner";
}

void tst_NewsBanner::scrollPass()
{
    QFETCH(int, width);
    QFETCH(QString, news);

    ManualBanner banner;
    banner.resize(width, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(news);
    const int textWidth = laidOutWidth(news);
    QVERIFY(textWidth > 50);

    QCOMPARE(banner.scrollTimer().interval, 10);
    const int entry = width - 10;
    QVERIFY(qAbs(inkColumns(banner.frame()).first - entry) <= 2);

    // Half a pixel per 10 ms tick: 100 ticks, one second, move the text by 50 pixels.
    QImage frame;
    for (int i = 0; i < 100; ++i)
        frame = banner.tick();
    QVERIFY(qAbs(inkColumns(frame).first - (entry - 50)) <= 2);

    // The text counts as gone once its truncated position plus its width lies more than 10 pixels
    // left of the widget: at offset -(textWidth + 11), i.e. after 2 * (width + textWidth + 1)
    // ticks in all. For 468 and 200 pixels that is 13.38 s, (458 + 210) / 50 s plus the truncation.
    int ticks = 100;
    while (banner.scrollTimer().interval == 10 && ticks < 100000) {
        frame = banner.tick();
        ++ticks;
    }
    QCOMPARE(ticks, 2 * (width + textWidth + 1));
    QCOMPARE(banner.scrollTimer().interval, 3000);
    QCOMPARE(inkColumns(banner.frame()).first, -1);

    // The tick after the pause returns to 10 ms and the text enters again from the right.
    frame = banner.tick();
    QCOMPARE(banner.scrollTimer().interval, 10);
    QVERIFY(qAbs(inkColumns(frame).first - entry) <= 2);
}

void tst_NewsBanner::narrowingRestartsAtNewEdge()
{
    ManualBanner banner;
    banner.resize(468, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews("Murmelo 4.2 is out");
    QImage frame;
    for (int i = 0; i < 100; ++i)
        frame = banner.tick();
    QVERIFY(qAbs(inkColumns(frame).first - 408) <= 2);

    banner.resize(300, banner.height());
    QVERIFY(qAbs(inkColumns(banner.frame()).first - 290) <= 2);
}

void tst_NewsBanner::outsideMarkup_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<QString>("shown");

    // 21 bytes that made the banner read /dev/zero until the memory ran out.
    QTest::newRow("image from /dev/zero") << "<img src=\"/dev/zero\">" << "";
    QTest::newRow("image beside words") << "New <img src=\"file:///etc/passwd\" width=4000 height=4000>release"
                                        << "New release";
    // 300 bytes that kept setNews busy for more than 30 s.
    QTest::newRow("20 nested tables") << QString("<table><tr><td>").repeated(20) + "x" << "x";
    QTest::newRow("nested tables up to the news limit") << QString("<table><tr><td>").repeated(270) << "";
    QTest::newRow("many line breaks") << QString("line<br>").repeated(50) << QString("line\n").repeated(50).chopped(1);
    QTest::newRow("huge font") << "<h1 style=\"font-size:900px\"><font size=7>Big</font></h1>" << "Big";
    QTest::newRow("link kept") << "<a href=\"https://news.example/\">Read</a> on" << "Read on";
}

// The news arrives unauthenticated over UDP: its markup loads nothing, lays out at once, and the banner
// never takes more than a few lines of the window.
void tst_NewsBanner::outsideMarkup()
{
    QFETCH(QString, news);
    QFETCH(QString, shown);

    ManualBanner banner;
    banner.resize(468, 16);
    QElapsedTimer clock;
    clock.start();
    banner.setNews(news);
    QVERIFY2(clock.elapsed() < 20000, QByteArray::number(clock.elapsed())); // a hang guard

    const QTextDocument *document = banner.findChild<QTextDocument *>();
    QVERIFY(document);
    QCOMPARE(document->toPlainText().trimmed(), shown);
    QVERIFY(!document->toHtml().contains(QLatin1String("<img")));
    QVERIFY2(banner.maximumHeight() <= 3 * banner.fontMetrics().lineSpacing(),
             QByteArray::number(banner.maximumHeight()));
    QCOMPARE(banner.minimumHeight(), banner.maximumHeight());
}

QTEST_MAIN(tst_NewsBanner)
#include "tst_newsbanner.moc"
