#include "app/configuration.h"
#include "support/testfiles.h"
#include "support/testinstallation.h"
#include "update/filereplacelisttaskspecification.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

// Every entry below dir with its content, so that "as before" can be compared in one go.
QStringList snapshot(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(dir).relativeFilePath(path);
        entries << (it.fileInfo().isDir() ? name + "/" : name + ": " + readFile(path));
    }
    entries.sort();
    return entries;
}
} // namespace

class tst_FileReplaceListTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void emptyListFinishesAtOnce();
    void newFileInNewSubdirectory();
    void replacedSpecialFileStaysParked();
    void replacedLibraryIsParkedForDeletion();
    void gzipEntryIsUnpacked();
    void failureRestoresInstallation_data();
    void failureRestoresInstallation();
    void resetUndoesFinishedPhase();

private:
    TaskSpecification::TaskState install(FileReplaceListTaskSpecification &task);

    QScopedPointer<TestInstallation> root;
    QScopedPointer<QTemporaryDir> temp;
    Configuration configuration;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList;
    QStringList messages;
};

void tst_FileReplaceListTaskSpecification::init()
{
    root.reset(new TestInstallation);
    temp.reset(new QTemporaryDir);
    QVERIFY(root->isValid() && temp->isValid());
    configuration.tempDir = temp->path();
    replaceList.clear();
    deleteList.clear();
    messages.clear();
}

TaskSpecification::TaskState tst_FileReplaceListTaskSpecification::install(FileReplaceListTaskSpecification &task)
{
    QSignalSpy ended(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    connect(&task, &TaskSpecification::message, this, [this](const QString &text) { messages << text; });
    task.execute();
    if (!QTest::qWaitFor([&] { return ended.size() + canceled.size() > 0; }, 10000))
        qFatal("installation did not end");
    return task.getState();
}

void tst_FileReplaceListTaskSpecification::emptyListFinishesAtOnce()
{
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 1.0);
    task.execute();
    QCOMPARE(task.getState(), TaskSpecification::StateFinished);
    QCOMPARE(snapshot(root->path()), QStringList());
}

void tst_FileReplaceListTaskSpecification::newFileInNewSubdirectory()
{
    QVERIFY(writeFile(temp->filePath("sub/deeper/new.txt"), "new"));
    replaceList << FileReplaceSpecification("release", "sub/deeper/new.txt", QString(), 0, QString());
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 1.0);

    QCOMPARE(install(task), TaskSpecification::StateFinished);
    QCOMPARE(snapshot(root->path()), QStringList({"sub/", "sub/deeper/", "sub/deeper/new.txt: new"}));
    QCOMPARE(deleteList, QStringList());
    QCOMPARE(messages, QStringList({"Starting file updates", "add/replace sub/deeper/new.txt"}));
}

void tst_FileReplaceListTaskSpecification::replacedSpecialFileStaysParked()
{
    QVERIFY(writeFile(root->filePath("update"), "old updater"));
    QVERIFY(writeFile(temp->filePath("update"), "new updater"));
    replaceList << FileReplaceSpecification("release", "update", QString(), 0, QString());
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 1.0);

    QCOMPARE(install(task), TaskSpecification::StateFinished);
    QCOMPARE(snapshot(root->path()), QStringList({"_old_update: old updater", "update: new updater"}));
    QCOMPARE(deleteList, QStringList());
    QCOMPARE(QFile::permissions(root->filePath("update")), executable);
}

void tst_FileReplaceListTaskSpecification::replacedLibraryIsParkedForDeletion()
{
    QVERIFY(writeFile(root->filePath("plugins/libfoo.so"), "old library"));
    QVERIFY(writeFile(root->filePath("plugins/_old_libfoo.so"), "left over from an earlier update"));
    QVERIFY(writeFile(root->filePath("readme.txt"), "old text"));
    QFile::setPermissions(root->filePath("readme.txt"), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY(writeFile(temp->filePath("plugins/libfoo.so"), "new library"));
    QVERIFY(writeFile(temp->filePath("readme.txt"), "new text"));
    replaceList << FileReplaceSpecification("release", "plugins/libfoo.so", QString(), 0, QString())
                << FileReplaceSpecification("release", "readme.txt", QString(), 0, QString());
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 1.0);

    QCOMPARE(install(task), TaskSpecification::StateFinished);
    QCOMPARE(snapshot(root->path()), QStringList({"_old_readme.txt: old text", "plugins/",
                                                  "plugins/_old_libfoo.so: old library",
                                                  "plugins/libfoo.so: new library", "readme.txt: new text"}));
    deleteList.sort();
    QCOMPARE(deleteList, QStringList({"_old_readme.txt", "plugins/_old_libfoo.so"}));
    QCOMPARE(QFile::permissions(root->filePath("plugins/libfoo.so")), executable);
    QVERIFY(!(QFile::permissions(root->filePath("readme.txt")) & QFileDevice::ExeOwner));
}

void tst_FileReplaceListTaskSpecification::gzipEntryIsUnpacked()
{
    const QByteArray program = QByteArray("new program ").repeated(5000);
    QVERIFY(writeFile(root->filePath("mx4client_linux_amd64"), "old program"));
    QVERIFY(writeFile(temp->filePath("mx4client_linux_amd64.gz"), gzip(program)));
    replaceList << FileReplaceSpecification("release", "mx4client_linux_amd64.gz", md5Hex(program),
                                            quint64(program.size()), "mx4client_linux_amd64");
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 1.0);

    QCOMPARE(install(task), TaskSpecification::StateFinished);
    QCOMPARE(readFile(root->filePath("mx4client_linux_amd64")), program);
    QCOMPARE(readFile(root->filePath("_old_mx4client_linux_amd64")), QByteArray("old program"));
    QCOMPARE(deleteList, QStringList({"_old_mx4client_linux_amd64"}));
    QCOMPARE(QFile::permissions(root->filePath("mx4client_linux_amd64")), executable);
}

void tst_FileReplaceListTaskSpecification::failureRestoresInstallation_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("expectedMessage");

    QTest::newRow("copy source missing") << "missing" << "Could not copy 'TEMP/newdir/missing.txt' to "
                                                        "'ROOT/newdir/missing.txt'";
    QTest::newRow("unpacked content has wrong md5") << "wrong md5" << "Signature check failed for ROOT/client";
    QTest::newRow("stale parked copy cannot be deleted") << "undeletable" << "Could not delete 'ROOT/_old_client'";
}

// The failing entry comes last, so at least one other file has been installed completely (and handed its
// undo records to the phase) before the failure.
void tst_FileReplaceListTaskSpecification::failureRestoresInstallation()
{
    QFETCH(QString, failure);
    QFETCH(QString, expectedMessage);

    QVERIFY(writeFile(root->filePath("a.txt"), "old a"));
    QVERIFY(writeFile(root->filePath("client"), "old client"));
    QVERIFY(writeFile(temp->filePath("a.txt"), "new a"));
    QVERIFY(writeFile(temp->filePath("sub/b.txt"), "new b"));
    QVERIFY(writeFile(temp->filePath("client.gz"), gzip("new client")));
    replaceList << FileReplaceSpecification("release", "a.txt", QString(), 0, QString())
                << FileReplaceSpecification("release", "sub/b.txt", QString(), 0, QString());
    if (failure == "missing") {
        replaceList << FileReplaceSpecification("release", "newdir/missing.txt", QString(), 0, QString());
    } else if (failure == "wrong md5") {
        replaceList << FileReplaceSpecification("release", "client.gz", md5Hex("other client"), 12, "client");
    } else {
        QVERIFY(writeFile(root->filePath("_old_client/keeps/it"), "a directory cannot be removed as a file"));
        replaceList << FileReplaceSpecification("release", "client.gz", md5Hex("new client"), 10, "client");
    }
    const QStringList before = snapshot(root->path());
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 1.0);

    QCOMPARE(install(task), TaskSpecification::StateErrorCanceled);
    QCOMPARE(snapshot(root->path()), before);
    // a.txt was installed completely before the phase rolled it back.
    QVERIFY(deleteList.contains("_old_a.txt"));
    QVERIFY(messages.contains(expectedMessage.replace("TEMP", temp->path()).replace("ROOT", root->path())));
    QCOMPARE(messages.last(), QString("rolling back file updates"));
    QVERIFY(!messages.join('\n').contains("warning: rollback"));
}

void tst_FileReplaceListTaskSpecification::resetUndoesFinishedPhase()
{
    QVERIFY(writeFile(root->filePath("a.txt"), "old a"));
    QVERIFY(writeFile(temp->filePath("a.txt"), "new a"));
    QVERIFY(writeFile(temp->filePath("sub/b.txt"), "new b"));
    replaceList << FileReplaceSpecification("release", "a.txt", QString(), 0, QString())
                << FileReplaceSpecification("release", "sub/b.txt", QString(), 0, QString());
    const QStringList before = snapshot(root->path());
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 1.0);
    QCOMPARE(install(task), TaskSpecification::StateFinished);
    QVERIFY(snapshot(root->path()) != before);

    task.reset();
    QCOMPARE(snapshot(root->path()), before);
    QCOMPARE(task.getState(), TaskSpecification::StateIdle);
}

QTEST_GUILESS_MAIN(tst_FileReplaceListTaskSpecification)
#include "tst_filereplacelisttaskspecification.moc"
