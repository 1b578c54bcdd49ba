#include "support/urlrecorder.h"
#include "ui/urlclicklabel.h"

#include <QtTest>

class tst_UrlClickLabel : public QObject
{
    Q_OBJECT

private slots:
    void click_data();
    void click();
};

void tst_UrlClickLabel::click_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QList<QUrl>>("opened");

    QTest::newRow("web address") << "https://murmelo.example/news"
                                 << QList<QUrl>{ QUrl("https://murmelo.example/news") };
    QTest::newRow("empty address") << QString() << QList<QUrl>();
    QTest::newRow("local file is not opened") << "file:///tmp/run.sh" << QList<QUrl>();
}

void tst_UrlClickLabel::click()
{
    QFETCH(QString, url);
    QFETCH(QList<QUrl>, opened);

    UrlRecorder browser;
    UrlClickLabel label;
    label.resize(48, 48);
    label.setUrl(url);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));

    QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(browser.opened, opened);
}

QTEST_MAIN(tst_UrlClickLabel)
#include "tst_urlclicklabel.moc"
