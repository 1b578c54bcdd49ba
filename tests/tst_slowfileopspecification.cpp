#include "support/testfiles.h"
#include "tasks/filecopytaskspecification.h"
#include "tasks/fileunziptaskspecification.h"
#include "tasks/rollbackdatalist.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// More than one buffer's worth, with enough variety that the compressed form is not trivial.
QByteArray payload()
{
    QByteArray data;
    for (int i = 0; data.size() < 100000; ++i)
        data += "line " + QByteArray::number(i * 7919 % 1000003) + "\n";
    return data;
}

} // namespace

class tst_SlowFileOpSpecification : public QObject
{
    Q_OBJECT
private slots:
    void operation_data();
    void operation();
    void copyKeepsModeAndLeavesNoTrace_data();
    void copyKeepsModeAndLeavesNoTrace();
};

void tst_SlowFileOpSpecification::operation_data()
{
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<QByteArray>("source");      // null: no source file
    QTest::addColumn<QByteArray>("existing");    // null: no destination before the run
    QTest::addColumn<QByteArray>("expected");    // null: the run fails
    QTest::addColumn<QByteArray>("destination"); // what lies at the destination afterwards; null: nothing

    const QByteArray data = payload();
    const QByteArray packed = gzip(data);
    QByteArray corrupt = packed;
    for (int i = 100; i < 200; ++i)
        corrupt[i] = char(0xff);
    const QByteArray none;

    QTest::newRow("copy to a new file") << false << data << none << data << data;
    QTest::newRow("copy onto an existing file fails") << false << data << QByteArray("old") << none
                                                      << QByteArray("old");
    QTest::newRow("copy of a missing source") << false << none << none << none << none;
    QTest::newRow("copy of an empty file") << false << QByteArray("") << none << QByteArray("") << QByteArray("");
    QTest::newRow("gunzip of a stream larger than the buffer") << true << packed << none << data << data;
    QTest::newRow("gunzip of an empty stream") << true << gzip("") << none << QByteArray("") << QByteArray("");
    QTest::newRow("gunzip of a plain file copies it") << true << data << none << data << data;
    QTest::newRow("gunzip replaces an existing file") << true << packed << QByteArray("old") << data << data;
    QTest::newRow("gunzip of a corrupt stream removes its output") << true << corrupt << none << none << none;
    // Regression: the reader ends a cut-off stream with a short read and 0, not an error.
    QTest::newRow("gunzip of a truncated stream removes its output")
        << true << packed.left(packed.size() / 2) << none << none << none;
    QTest::newRow("gunzip of a missing source") << true << none << none << none << none;
}

void tst_SlowFileOpSpecification::operation()
{
    QFETCH(bool, unzip);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, destination);

    QTemporaryDir tmp;
    const QString from = tmp.filePath("source");
    const QString to = tmp.filePath("installed");
    if (!source.isNull())
        QVERIFY(writeFile(from, source));
    if (!existing.isNull())
        QVERIFY(writeFile(to, existing));

    RollbackDataList list;
    SlowFileOpSpecification *task = nullptr;
    FileUnzipTaskSpecification *unzipTask = nullptr;
    if (unzip) {
        task = unzipTask = new FileUnzipTaskSpecification(&list, from, to, this, 1.0);
        unzipTask->setDigestSums(FileDigest::Md5AndSha256);
    } else
        task = new FileCopyTaskSpecification(&list, from, to, this, 1.0);
    QStringList messages;
    connect(task, &TaskSpecification::message, task, [&messages](const QString &m) { messages.append(m); });
    task->execute();
    QTRY_VERIFY(task->getState() != TaskSpecification::StateRunning);

    const bool ok = !expected.isNull();
    QCOMPARE(task->getState(), ok ? TaskSpecification::StateFinished : TaskSpecification::StateErrorCanceled);
    QFile out(to);
    QCOMPARE(out.exists(), !destination.isNull());
    if (out.open(QIODevice::ReadOnly))
        QCOMPARE(out.readAll(), destination);
    if (unzipTask) {
        // What the check after the unzip compares: the sums of the bytes written, none after a failure.
        const FileDigest digest = unzipTask->getUnpackedDigest();
        QCOMPARE(digest.md5, ok ? QString(QCryptographicHash::hash(expected, QCryptographicHash::Md5).toHex())
                                : QString());
        QCOMPARE(digest.sha256, ok ? QString(QCryptographicHash::hash(expected, QCryptographicHash::Sha256).toHex())
                                   : QString());
        if (ok)
            QCOMPARE(digest.size, quint64(expected.size()));
    }
    if (ok) {
        QVERIFY(messages.isEmpty());
        QCOMPARE(list.records().size(), 1);
        QCOMPARE(list.records().at(0).operation, RollbackData::CreateFile);
        QCOMPARE(list.records().at(0).path, to);
    } else {
        const QString text = unzip ? "Could not unzip '%1' to '%2'" : "Could not copy '%1' to '%2'";
        QCOMPARE(messages, QStringList{text.arg(from, to)});
        QVERIFY(list.records().isEmpty());
    }
    delete task;
}

void tst_SlowFileOpSpecification::copyKeepsModeAndLeavesNoTrace_data()
{
    QTest::addColumn<QString>("sourceDir"); // empty: the destination's directory
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("targetDirExists");

    QTest::newRow("same directory, 0644") << QString() << 0644 << true;
    QTest::newRow("same directory, 0755") << QString() << 0755 << true;
    QTest::newRow("same directory, 0600") << QString() << 0600 << true;
    QTest::newRow("missing target directory") << QString() << 0644 << false;
    // Another file system: the kernel cannot copy by range between these and has to fall back.
    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        QTest::newRow("from tmpfs") << QStringLiteral("/dev/shm") << 0755 << true;
}

void tst_SlowFileOpSpecification::copyKeepsModeAndLeavesNoTrace()
{
    QFETCH(QString, sourceDir);
    QFETCH(int, mode);
    QFETCH(bool, targetDirExists);

    QTemporaryDir target;
    QTemporaryDir other(sourceDir + QStringLiteral("/copy-source-XXXXXX"));
    const QString from = (sourceDir.isEmpty() ? target.path() : other.path()) + QStringLiteral("/source");
    const QString directory = targetDirExists ? target.path() : target.filePath(QStringLiteral("missing"));
    const QString to = directory + QStringLiteral("/installed");
    const QByteArray data = payload();
    QVERIFY(writeFile(from, data));
    QVERIFY(::chmod(QFile::encodeName(from).constData(), mode_t(mode)) == 0);

    RollbackDataList list;
    auto *task = new FileCopyTaskSpecification(&list, from, to, this, 1.0);
    task->execute();
    QTRY_VERIFY(task->getState() != TaskSpecification::StateRunning);

    QCOMPARE(task->getState(), targetDirExists ? TaskSpecification::StateFinished
                                               : TaskSpecification::StateErrorCanceled);
    if (targetDirExists) {
        QCOMPARE(readFile(to), data);
        struct stat status;
        QVERIFY(::stat(QFile::encodeName(to).constData(), &status) == 0);
        QCOMPARE(int(status.st_mode & 07777), mode);
    }
    // Nothing but the source and the finished copy: no half-written or temporary file.
    QStringList expected{QStringLiteral("installed")};
    if (sourceDir.isEmpty())
        expected.append(QStringLiteral("source"));
    if (!targetDirExists)
        expected = QStringList{QStringLiteral("source")};
    QCOMPARE(QDir(target.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name), expected);
    delete task;
}

QTEST_GUILESS_MAIN(tst_SlowFileOpSpecification)
#include "tst_slowfileopspecification.moc"
