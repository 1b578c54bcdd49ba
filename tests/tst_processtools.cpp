#include "app/configuration.h"
#include "app/processtools.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_ProcessTools : public QObject
{
    Q_OBJECT

private slots:
    void startsScriptInPathWithBlanks();
};

void tst_ProcessTools::startsScriptInPathWithBlanks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.filePath(QStringLiteral("my install dir"));
    QVERIFY(QDir().mkdir(root));
    const QString script = root + QStringLiteral("/mx4client_runscript.sh");
    QVERIFY(writeFile(script, "#!/bin/sh\necho \"$#\" > \"$(dirname \"$0\")/marker.tmp\"\n"
                              "mv \"$(dirname \"$0\")/marker.tmp\" \"$(dirname \"$0\")/marker\"\n"));
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    Configuration::setAppRootPathForTesting(root);
    ProcessTools::startMx4Client();
    Configuration::setAppRootPathForTesting(QString());

    const QString marker = root + QStringLiteral("/marker");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    QCOMPARE(readFile(marker), QByteArray("0\n")); // started with no arguments
}

QTEST_GUILESS_MAIN(tst_ProcessTools)
#include "tst_processtools.moc"
