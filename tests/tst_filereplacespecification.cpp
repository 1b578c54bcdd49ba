#include "update/filereplacespecification.h"

#include <QTest>

class tst_FileReplaceSpecification : public QObject
{
    Q_OBJECT

private slots:
    void names_data();
    void names();
};

void tst_FileReplaceSpecification::names_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unzipFileName");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("parked");

    QTest::newRow("top level") << "readme.txt" << "" << "readme.txt" << "_old_readme.txt";
    QTest::newRow("subdirectory") << "plugins/libfoo.so" << "" << "plugins/libfoo.so" << "plugins/_old_libfoo.so";
    QTest::newRow("two levels") << "a/b/c.dat" << "" << "a/b/c.dat" << "a/b/_old_c.dat";
    QTest::newRow("unpacked under another name")
        << "mx4client_linux_amd64.gz" << "mx4client_linux_amd64" << "mx4client_linux_amd64"
        << "_old_mx4client_linux_amd64";
    QTest::newRow("unpacked into a subdirectory") << "lib.gz" << "lib/libbar.so.4" << "lib/libbar.so.4"
                                                  << "lib/_old_libbar.so.4";
}

void tst_FileReplaceSpecification::names()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unzipFileName);
    QFETCH(QString, destination);
    QFETCH(QString, parked);

    const FileReplaceSpecification file("release", fileName, "0123", 4, unzipFileName);
    QCOMPARE(file.hasUnzip(), !unzipFileName.isEmpty());
    QCOMPARE(file.pureDestFilePath(), destination);
    QCOMPARE(file.destFileName(QString()), destination);
    QCOMPARE(file.oldDestFileName(), parked);
}

QTEST_GUILESS_MAIN(tst_FileReplaceSpecification)
#include "tst_filereplacespecification.moc"
