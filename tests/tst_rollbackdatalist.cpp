#include "support/testfiles.h"
#include "tasks/rollbackdatalist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

class MessageSink : public QObject
{
    Q_OBJECT
public slots:
    void message(const QString &text) { texts.append(text); }

public:
    QStringList texts;
};

} // namespace

class tst_RollbackDataList : public QObject
{
    Q_OBJECT
private slots:
    void emptyListSucceedsSilently();
    void undoesNewestFirst();
    void failingUndoWarns_data();
    void failingUndoWarns();
    void appendListKeepsOrder();
    void clearKeepsChanges();
};

void tst_RollbackDataList::emptyListSucceedsSilently()
{
    MessageSink sink;
    RollbackDataList list;
    QVERIFY(list.rollback(&sink));
    QVERIFY(sink.texts.isEmpty());
}

void tst_RollbackDataList::undoesNewestFirst()
{
    // The sequence of one installed file in a new directory: it can only be undone backwards.
    QTemporaryDir tmp;
    const QString d = tmp.filePath("d");
    RollbackDataList list;
    QVERIFY(QDir().mkdir(d));
    list.add(RollbackData(RollbackData::CreateDir, d));
    QVERIFY(writeFile(d + "/f", "old"));
    list.add(RollbackData(RollbackData::CreateFile, d + "/f"));
    QVERIFY(QFile::rename(d + "/f", d + "/g"));
    list.add(RollbackData(RollbackData::Rename, d + "/f", d + "/g"));
    QVERIFY(writeFile(d + "/f", "new"));
    list.add(RollbackData(RollbackData::CreateFile, d + "/f"));

    MessageSink sink;
    QVERIFY(list.rollback(&sink));
    QVERIFY(sink.texts.isEmpty());
    QVERIFY(!QFileInfo::exists(d));
    QVERIFY(list.records().isEmpty());
}

void tst_RollbackDataList::failingUndoWarns_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("expected"); // @ stands for the temporary directory

    QTest::newRow("directory no longer empty")
        << int(RollbackData::CreateDir) << "warning: rollback create dir @/d failed";
    QTest::newRow("earlier name occupied again, named in forward direction")
        << int(RollbackData::Rename) << "warning: rollback rename @/a to @/b failed";
    QTest::newRow("created file already gone")
        << int(RollbackData::CreateFile) << "warning: rollback create file @/missing failed";
}

void tst_RollbackDataList::failingUndoWarns()
{
    QFETCH(int, operation);
    QFETCH(QString, expected);

    QTemporaryDir tmp;
    QVERIFY(QDir().mkdir(tmp.filePath("d")));
    QVERIFY(writeFile(tmp.filePath("d/inside"), "x"));
    QVERIFY(writeFile(tmp.filePath("a"), "occupant"));
    QVERIFY(writeFile(tmp.filePath("b"), "renamed"));
    QVERIFY(writeFile(tmp.filePath("earlier"), "created before"));

    RollbackDataList list;
    list.add(RollbackData(RollbackData::CreateFile, tmp.filePath("earlier")));
    switch (operation) {
    case RollbackData::CreateDir:
        list.add(RollbackData(RollbackData::CreateDir, tmp.filePath("d")));
        break;
    case RollbackData::Rename:
        list.add(RollbackData(RollbackData::Rename, tmp.filePath("a"), tmp.filePath("b")));
        break;
    default:
        list.add(RollbackData(RollbackData::CreateFile, tmp.filePath("missing")));
    }

    MessageSink sink;
    QVERIFY(!list.rollback(&sink));
    QCOMPARE(sink.texts, QStringList{QString(expected).replace("@", tmp.path())});
    QVERIFY(!QFileInfo::exists(tmp.filePath("earlier"))); // undone despite the later failure
    QCOMPARE(readFile(tmp.filePath("a")), QByteArray("occupant"));
    QVERIFY(list.records().isEmpty());

    // Without a target the failure still counts.
    list.add(RollbackData(RollbackData::CreateFile, tmp.filePath("missing")));
    QVERIFY(!list.rollback(nullptr));
}

void tst_RollbackDataList::appendListKeepsOrder()
{
    QTemporaryDir tmp;
    auto missing = [&tmp](const QString &name) {
        return RollbackData(RollbackData::CreateFile, tmp.filePath(name));
    };
    RollbackDataList list;
    list.add(missing("A"));
    list.add(missing("B"));
    RollbackDataList other;
    other.add(missing("X"));
    other.add(missing("Y"));
    list.appendList(other);
    QCOMPARE(other.records().size(), 2);

    MessageSink sink;
    QVERIFY(!list.rollback(&sink));
    QStringList order;
    for (const QString &text : std::as_const(sink.texts))
        order.append(QFileInfo(text.section(' ', 4, 4)).fileName());
    QCOMPARE(order, (QStringList{"Y", "X", "B", "A"}));
}

void tst_RollbackDataList::clearKeepsChanges()
{
    QTemporaryDir tmp;
    QVERIFY(writeFile(tmp.filePath("kept"), "x"));
    RollbackDataList list;
    list.add(RollbackData(RollbackData::CreateFile, tmp.filePath("kept")));
    list.clear();
    QVERIFY(list.rollback(nullptr));
    QVERIFY(QFileInfo::exists(tmp.filePath("kept")));
}

QTEST_GUILESS_MAIN(tst_RollbackDataList)
#include "tst_rollbackdatalist.moc"
