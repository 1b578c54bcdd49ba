#include "support/runcommand.h"
#include "support/testfiles.h"

#include "tasks/blockmap.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Block maps as murmelo-publish writes them beside big uncompressed files, and as verify checks them.
class tst_PublishBlockMap : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void whichFilesGetMaps_data();
    void whichFilesGetMaps();
    void verifyRefusesBadMap_data();
    void verifyRefusesBadMap();

private:
    CommandResult run(const QStringList &arguments);
    CommandResult publish(const QStringList &extra);
    QString mapPath(const QString &key) const;

    std::unique_ptr<QTemporaryDir> dir;
};

CommandResult tst_PublishBlockMap::run(const QStringList &arguments)
{
    return runCommand(QStringLiteral(MURMELO_BINARY_DIR "/bin/murmelo-publish"), arguments, dir->path());
}

CommandResult tst_PublishBlockMap::publish(const QStringList &extra)
{
    return run(QStringList{"publish", "--client-type", "client_linux_amd64", "--version", "7", "--key",
                           QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/private.key")}
               + extra + QStringList{"rel", "out"});
}

QString tst_PublishBlockMap::mapPath(const QString &key) const
{
    return BlockMap::pathFor(dir->filePath("out/7/release/" + key));
}

void tst_PublishBlockMap::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(writeFile(dir->filePath("rel/big.bin"), randomBytes(BlockMap::DefaultThreshold, 1)));
    QVERIFY(writeFile(dir->filePath("rel/lib/almost.bin"), randomBytes(BlockMap::DefaultThreshold - 1, 2)));
    QVERIFY(writeFile(dir->filePath("rel/small.txt"), "small\n"));
}

void tst_PublishBlockMap::whichFilesGetMaps_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("withMap");
    QTest::newRow("default threshold") << QStringList() << QStringList{"big.bin"};
    QTest::newRow("lower threshold") << QStringList{"--blockmap-min", "6"}
                                     << QStringList{"big.bin", "lib/almost.bin", "small.txt"};
    QTest::newRow("compressed files take no part") << QStringList{"--blockmap-min", "1", "--gzip", "*.bin"}
                                                   << QStringList{"small.txt"};
    QTest::newRow("none") << QStringList{"--no-blockmaps"} << QStringList();
}

void tst_PublishBlockMap::whichFilesGetMaps()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, withMap);
    const CommandResult published = publish(options);
    QVERIFY2(published.exitCode == 0, qPrintable(published.output));
    for (const char *name : {"big.bin", "lib/almost.bin", "small.txt", "big.bin.gz", "lib/almost.bin.gz"}) {
        const QString key = QString::fromLatin1(name);
        const bool expected = withMap.contains(key);
        QVERIFY2(QFile::exists(mapPath(key)) == expected, qPrintable(key));
        if (!expected)
            continue;
        BlockMap map;
        QString why;
        QVERIFY2(BlockMap::parse(readFile(mapPath(key)), map, why), qPrintable(why));
        const QByteArray content = readFile(dir->filePath("rel/" + key));
        QCOMPARE(map.digest, FileDigest(QString::fromLatin1(md5Hex(content)), quint64(content.size())));
        BlockMap::Builder builder(map.blockSize, quint64(content.size()));
        builder.add(content);
        QVERIFY(builder.result() == map);
    }
    const CommandResult verified = run({"verify", "out/7", QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/public.key")});
    QVERIFY2(verified.exitCode == 0, qPrintable(verified.output));
    QCOMPARE(verified.output.contains(QStringLiteral("%1 block maps describe their files").arg(withMap.size())),
             !withMap.isEmpty());
}

void tst_PublishBlockMap::verifyRefusesBadMap_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("problem");
    QTest::newRow("truncated") << "truncate" << "big.bin,blockmap has";
    QTest::newRow("lies about a block") << "block" << "big.bin,blockmap does not hold the block checksums";
    QTest::newRow("describes another file") << "md5" << "big.bin,blockmap describes";
    QTest::newRow("not a map") << "garbage" << "big.bin,blockmap is not a block map";
    QTest::newRow("huge") << "huge" << "big.bin,blockmap is unreadable or larger than any block map";
}

void tst_PublishBlockMap::verifyRefusesBadMap()
{
    QFETCH(QString, damage);
    QFETCH(QString, problem);
    const CommandResult published = publish({});
    QVERIFY2(published.exitCode == 0, qPrintable(published.output));
    QByteArray map = readFile(mapPath("big.bin"));
    if (damage == "truncate")
        map.chop(7);
    else if (damage == "block")
        map[BlockMap::HeaderSize + 100 * BlockMap::EntrySize + 6] ^= 1;
    else if (damage == "md5")
        map[20] ^= 1;
    else if (damage == "garbage")
        map = "not a block map";
    else
        map = QByteArray(BlockMap::HeaderSize + BlockMap::MaxBlocks * BlockMap::EntrySize + 1, 'x');
    QVERIFY(writeFile(mapPath("big.bin"), map));
    const CommandResult verified = run({"verify", "out/7", QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/public.key")});
    QCOMPARE(verified.exitCode, 1);
    QVERIFY2(verified.output.contains(problem), qPrintable(verified.output));
}

QTEST_GUILESS_MAIN(tst_PublishBlockMap)
#include "tst_publishblockmap.moc"
