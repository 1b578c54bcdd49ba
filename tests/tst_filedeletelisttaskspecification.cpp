#include "support/testinstallation.h"
#include "update/filedeletelisttaskspecification.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_FileDeleteListTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void emptyListFinishesAtOnce();
    void deletesRelativeToInstallationAndSkipsMissingFiles();

private:
    TestInstallation root;
};

void tst_FileDeleteListTaskSpecification::initTestCase()
{
    QVERIFY(root.isValid());
}

void tst_FileDeleteListTaskSpecification::emptyListFinishesAtOnce()
{
    QList<QString> deleteList;
    FileDeleteListTaskSpecification task(&deleteList, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(task.getProgress(), 1.0);
}

void tst_FileDeleteListTaskSpecification::deletesRelativeToInstallationAndSkipsMissingFiles()
{
    QVERIFY(QDir(root.path()).mkpath("plugins"));
    for (const char *name : {"obsolete.txt", "plugins/_old_libfoo.so", "kept.txt"}) {
        QFile file(root.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QList<QString> deleteList = {"gone.txt", "obsolete.txt", "plugins/_old_libfoo.so", "plugins/gone.so"};
    FileDeleteListTaskSpecification task(&deleteList, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);

    task.execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"kept.txt", "plugins"}));
    QVERIFY(QDir(root.filePath("plugins")).isEmpty());
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.first().first().toString(), QString("Starting deleting files"));
    QCOMPARE(errors.size(), 0);
}

QTEST_GUILESS_MAIN(tst_FileDeleteListTaskSpecification)
#include "tst_filedeletelisttaskspecification.moc"
