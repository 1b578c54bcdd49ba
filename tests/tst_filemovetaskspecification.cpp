#include "support/testfiles.h"
#include "tasks/filemovetaskspecification.h"
#include "tasks/rollbackdatalist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

dev_t deviceOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_dev : dev_t(0);
}

} // namespace

class tst_FileMoveTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void install_data();
    void install();
};

// Each row installs "downloads/file" as "installation/file" and then rolls the record back: the
// installation must be as before, the download back in its place (or never gone).
void tst_FileMoveTaskSpecification::install_data()
{
    QTest::addColumn<bool>("otherFileSystem"); // the installation on a file system of its own
    QTest::addColumn<QByteArray>("source");    // null: no download
    QTest::addColumn<bool>("sourceIsLink");    // the download is a symbolic link to a file beside it
    QTest::addColumn<QByteArray>("existing");  // null: nothing installed under that name yet
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("recordedOperation"); // -1: nothing recorded
    QTest::addColumn<bool>("sourceRemains");    // the download is still in its place after the install

    const QByteArray data = "new content";
    const QByteArray none;
    QTest::newRow("moved within one file system")
        << false << data << false << none << true << int(RollbackData::Rename) << false;
    QTest::newRow("copied to another file system")
        << true << data << false << none << true << int(RollbackData::CreateFile) << true;
    QTest::newRow("a link is copied, not moved")
        << false << data << true << none << true << int(RollbackData::CreateFile) << true;
    QTest::newRow("an existing destination stays")
        << false << data << false << QByteArray("installed") << false << -1 << true;
    QTest::newRow("a missing download fails as a copy") << false << none << false << none << false << -1 << false;
}

void tst_FileMoveTaskSpecification::install()
{
    QFETCH(bool, otherFileSystem);
    QFETCH(QByteArray, source);
    QFETCH(bool, sourceIsLink);
    QFETCH(QByteArray, existing);
    QFETCH(bool, ok);
    QFETCH(int, recordedOperation);
    QFETCH(bool, sourceRemains);

    QTemporaryDir downloads;
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/tst_filemove-XXXXXX"));
    QTemporaryDir &installation = otherFileSystem ? elsewhere : downloads;
    QVERIFY(downloads.isValid() && installation.isValid());
    if (otherFileSystem && deviceOf(elsewhere.path()) == deviceOf(downloads.path()))
        QSKIP("/dev/shm is not a file system of its own here");
    const QString from = downloads.filePath(QStringLiteral("file"));
    const QString to = installation.filePath(QStringLiteral("installed/file"));
    QVERIFY(QDir().mkpath(QFileInfo(to).path()));
    if (!source.isNull()) {
        if (sourceIsLink) {
            QVERIFY(writeFile(downloads.filePath(QStringLiteral("target")), source));
            QVERIFY(QFile::link(QStringLiteral("target"), from));
        } else {
            QVERIFY(writeFile(from, source));
        }
        // Not the default mode, so that the installed file shows it kept the download's.
        QVERIFY(QFile::setPermissions(from, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    }
    if (!existing.isNull())
        QVERIFY(writeFile(to, existing));

    RollbackDataList list;
    auto *task = new FileMoveTaskSpecification(&list, from, to, this, 1.0);
    QStringList messages;
    connect(task, &TaskSpecification::message, task, [&messages](const QString &m) { messages.append(m); });
    task->execute();
    QTRY_VERIFY(task->getState() != TaskSpecification::StateRunning);

    QCOMPARE(task->getState(), ok ? TaskSpecification::StateFinished : TaskSpecification::StateErrorCanceled);
    QCOMPARE(readFile(to), ok ? source : existing.isNull() ? QByteArray("<missing>") : existing);
    QCOMPARE(QFileInfo::exists(from), sourceRemains);
    if (ok) {
        QVERIFY(messages.isEmpty());
        QCOMPARE(QFileInfo(to).isSymLink(), false);
        QCOMPARE(QFile::permissions(to) & ~QFileDevice::Permissions(0x0f00),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    } else {
        QCOMPARE(messages, QStringList{QStringLiteral("Could not copy '%1' to '%2'").arg(from, to)});
    }
    QCOMPARE(list.records().size(), recordedOperation < 0 ? 0 : 1);
    if (recordedOperation >= 0)
        QCOMPARE(int(list.records().at(0).operation), recordedOperation);

    QVERIFY(list.rollback(nullptr));
    QCOMPARE(readFile(to), existing.isNull() ? QByteArray("<missing>") : existing);
    QCOMPARE(readFile(from), source.isNull() ? QByteArray("<missing>") : source);
    delete task;
}

QTEST_GUILESS_MAIN(tst_FileMoveTaskSpecification)
#include "tst_filemovetaskspecification.moc"
