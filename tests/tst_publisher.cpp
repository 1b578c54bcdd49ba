#include "support/runcommand.h"
#include "support/testfiles.h"

#include "app/configuration.h"
#include "net/crypt.h"
#include "update/filespecifications.h"
#include "update/makedownloadreplacelistfunc.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// Drives the murmelo-publish program as a vendor would: every run in a fresh directory with the demo keys
// copied in as private.key and public.key, a release tree in rel/ and the mirror tree in out/.
class tst_Publisher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void publishAndVerify();
    void gzipSelection_data();
    void gzipSelection();
    void tamperedTreeFails_data();
    void tamperedTreeFails();
    void deleteSection();
    void sharedVersionDirectory();
    void summaryAgainstPrevious();
    void progressOnTerminalOnly();
    void ownKeyPair();
    void badInput_data();
    void badInput();
    void listCompilerRoundTrip();

private:
    CommandResult publisher(const QStringList &arguments);
    CommandResult publish(const QString &version, const QStringList &extra = {});
    void write(const QString &relative, const QByteArray &content);
    QByteArray read(const QString &relative);
    QMap<QString, QString> section(const QString &ini, const QString &name);
    QMap<QString, QByteArray> tree(const QString &relative);
    static QByteArray gunzip(const QString &path);

    std::unique_ptr<QTemporaryDir> dir;
};

CommandResult tst_Publisher::publisher(const QStringList &arguments)
{
    return runCommand(QStringLiteral(MURMELO_BINARY_DIR "/bin/murmelo-publish"), arguments, dir->path());
}

// Options in extra come after the usual ones, so they win; what follows "--" replaces "rel out".
CommandResult tst_Publisher::publish(const QString &version, const QStringList &extra)
{
    const qsizetype end = extra.indexOf("--");
    const QStringList directories = end < 0 ? QStringList{"rel", "out"} : extra.mid(end + 1);
    return publisher(QStringList{"publish", "--client-type", "client_linux_amd64", "--version", version, "--key",
                                 "private.key"}
                     + extra.mid(0, end) + directories);
}

void tst_Publisher::write(const QString &relative, const QByteArray &content)
{
    QVERIFY(writeFile(dir->filePath(relative), content));
}

QByteArray tst_Publisher::read(const QString &relative)
{
    return readFile(dir->filePath(relative));
}

// Keys and values exactly as the updater's INI reader hands them out.
QMap<QString, QString> tst_Publisher::section(const QString &ini, const QString &name)
{
    QSettings settings(dir->filePath(ini), QSettings::IniFormat);
    settings.beginGroup(name);
    QMap<QString, QString> entries;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        entries.insert(key, settings.value(key).toString());
    return entries;
}

// Every file below the directory, by relative path.
QMap<QString, QByteArray> tst_Publisher::tree(const QString &relative)
{
    const QString root = dir->filePath(relative);
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path.mid(root.size() + 1), readFile(path));
    }
    return files;
}

QByteArray tst_Publisher::gunzip(const QString &path)
{
    gzFile file = gzopen(QFile::encodeName(path).constData(), "rb");
    QByteArray content;
    char buffer[4096];
    int got = 0;
    while (file && (got = gzread(file, buffer, sizeof buffer)) > 0)
        content.append(buffer, got);
    if (!file || gzclose(file) != Z_OK || got < 0)
        return "not gzip";
    return content;
}

void tst_Publisher::initTestCase()
{
    crypt_init();
}

void tst_Publisher::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    for (const char *name : {"private.key", "public.key"}) {
        QVERIFY(QFile::copy(QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/") + QLatin1String(name),
                            dir->filePath(QLatin1String(name))));
    }
    write("rel/client", "#!/bin/sh\necho client\n");
    write("rel/lib/libfoo.so", QByteArray(700, 'l'));
    write("rel/data/big.bin", QByteArray(5000, 'b'));
    write("rel/readme.txt", "read me\n");
}

void tst_Publisher::publishAndVerify()
{
    // Characters the INI syntax gives a meaning must reach the updater unchanged.
    const QString odd = QStringLiteral("odd=name;x [1] @ä");
    write("rel/" + odd, "odd");
    write("changes.txt", "version 7: better\n");

    const CommandResult published = publish("7", {"--gzip", "*.txt", "--gzip-above", "1000", "--changelog",
                                                  "changes.txt"});
    QVERIFY2(published.exitCode == 0, qPrintable(published.output));

    const QString ini = "out/7/client_linux_amd64.ini";
    const auto compressed = [this](const QString &name, const QByteArray &content) {
        const QByteArray gz = read("out/7/release/" + name + ".gz");
        return QStringLiteral("%1::%2::%3::%4::%5").arg(md5Hex(gz)).arg(gz.size()).arg(md5Hex(content)).arg(content.size()).arg(name);
    };
    const QMap<QString, QString> expected{
        {"client", md5Hex(read("rel/client")) + "::22"},
        {"lib/libfoo.so", md5Hex(QByteArray(700, 'l')) + "::700"},
        {odd, md5Hex("odd") + "::3"},
        {"data/big.bin.gz", compressed("data/big.bin", QByteArray(5000, 'b'))},
        {"readme.txt.gz", compressed("readme.txt", "read me\n")},
    };
    QCOMPARE(section(ini, "release"), expected);
    QCOMPARE(QSettings(dir->filePath(ini), QSettings::IniFormat).childGroups(), QStringList{"release"});
    QCOMPARE(gunzip(dir->filePath("out/7/release/data/big.bin.gz")), QByteArray(5000, 'b'));
    QCOMPARE(read("out/7/release/" + odd), QByteArray("odd"));
    QCOMPARE(read(ini + ".sig").size(), 128);
    QCOMPARE(read("out/7/changelog_client.txt"), QByteArray("version 7: better\n"));

    const CommandResult verified = publisher({"verify", "out/7", "public.key", "client_linux_amd64"});
    QVERIFY2(verified.exitCode == 0, qPrintable(verified.output));
    QVERIFY2(verified.output.contains("5 files (2 compressed)"), qPrintable(verified.output));
}

void tst_Publisher::gzipSelection_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("none") << QStringList{} << QStringList{"client", "data/big.bin", "lib/libfoo.so", "readme.txt"};
    QTest::newRow("pattern on the file name, any directory")
            << QStringList{"--gzip", "*.so", "--gzip", "big.*"}
            << QStringList{"client", "data/big.bin.gz", "lib/libfoo.so.gz", "readme.txt"};
    QTest::newRow("pattern with a slash on the relative path")
            << QStringList{"--gzip", "lib/*"} << QStringList{"client", "data/big.bin", "lib/libfoo.so.gz", "readme.txt"};
    QTest::newRow("star stays within a directory")
            << QStringList{"--gzip", "*/big.bin", "--gzip", "*.bin/x"}
            << QStringList{"client", "data/big.bin.gz", "lib/libfoo.so", "readme.txt"};
    QTest::newRow("threshold is exclusive") << QStringList{"--gzip-above", "700"}
                                            << QStringList{"client", "data/big.bin.gz", "lib/libfoo.so", "readme.txt"};
    QTest::newRow("threshold zero takes everything not empty")
            << QStringList{"--gzip-above", "0"}
            << QStringList{"client.gz", "data/big.bin.gz", "lib/libfoo.so.gz", "readme.txt.gz"};
}

void tst_Publisher::gzipSelection()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, keys);
    const CommandResult published = publish("7", options);
    QVERIFY2(published.exitCode == 0, qPrintable(published.output));
    QCOMPARE(section("out/7/client_linux_amd64.ini", "release").keys(), keys);
    for (const QString &key : keys) {
        if (key.endsWith(".gz"))
            QCOMPARE(gunzip(dir->filePath("out/7/release/" + key)), read("rel/" + key.chopped(3)));
    }
}

void tst_Publisher::tamperedTreeFails_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content"); // empty: remove the file
    QTest::addColumn<QString>("iniFrom");    // the ini's value to replace, re-signing it
    QTest::addColumn<QString>("iniTo");
    QTest::addColumn<QString>("text");

    QTest::newRow("changed byte") << "release/lib/libfoo.so" << QByteArray(699, 'l') + 'L' << QString() << QString()
                                  << "release/lib/libfoo.so has the MD5 sum";
    QTest::newRow("truncated") << "release/client" << QByteArray("#!") << QString() << QString()
                               << "release/client has 2 bytes, the product ini says 22";
    QTest::newRow("missing") << "release/data/big.bin.gz" << QByteArray() << QString() << QString()
                             << "release/data/big.bin.gz is missing";
    QTest::newRow("ini edited") << "client_linux_amd64.ini" << QByteArray("[release]\nclient=0::0\n") << QString()
                                << QString() << "client_linux_amd64.ini.sig is not a valid signature";
    QTest::newRow("signature missing") << "client_linux_amd64.ini.sig" << QByteArray() << QString() << QString()
                                       << "Cannot open file for reading";
    QTest::newRow("decompressed content differs")
            << QString() << QByteArray() << "::5000::data/big.bin" << "::5001::data/big.bin"
            << "release/data/big.bin.gz decompresses to 5000 bytes";
    QTest::newRow("three fields") << QString() << QByteArray() << "::5000::data/big.bin" << "::5000"
                                  << "[release] data/big.bin.gz: the value has 4";
    QTest::newRow("climbing unzip name") << QString() << QByteArray() << "::data/big.bin" << "::../big.bin"
                                         << "unzip name ../big.bin has a \".\" or \"..\" component";
}

void tst_Publisher::tamperedTreeFails()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, iniFrom);
    QFETCH(QString, iniTo);
    QFETCH(QString, text);
    QCOMPARE(publish("7", {"--gzip", "big.bin"}).exitCode, 0);

    if (!file.isEmpty() && content.isEmpty())
        QVERIFY(QFile::remove(dir->filePath("out/7/" + file)));
    else if (!file.isEmpty())
        write("out/7/" + file, content);
    if (!iniFrom.isEmpty()) {
        const QString ini = "out/7/client_linux_amd64.ini";
        const QByteArray before = read(ini);
        QVERIFY(before.contains(iniFrom.toUtf8()));
        write(ini, QByteArray(before).replace(iniFrom.toUtf8(), iniTo.toUtf8()));
        sign_file(qPrintable(dir->filePath("private.key")), qPrintable(dir->filePath(ini)));
    }

    const CommandResult verified = publisher({"verify", "out/7", "public.key"});
    QVERIFY2(verified.output.contains(text), qPrintable(verified.output));
    QCOMPARE(verified.exitCode, 1);
}

void tst_Publisher::deleteSection()
{
    write("rel/old.txt", "old");
    write("rel/lib/gone.so", "gone");
    write("list6", "ancient.dat\n");
    QCOMPARE(publish("6", {"--gzip", "old.txt", "--delete-list", "list6"}).exitCode, 0);

    QVERIFY(QFile::remove(dir->filePath("rel/old.txt")));
    QVERIFY(QFile::remove(dir->filePath("rel/lib/gone.so")));
    write("rel/lib/new.so", "new");
    write("list7", "# removed by hand\nextra/x\r\n\nlib/gone.so\n");
    const CommandResult published = publish("7", {"--previous", "out/6/client_linux_amd64.ini", "--delete-list",
                                                  "list7"});
    QVERIFY2(published.exitCode == 0, qPrintable(published.output));
    // An installation that skipped version 6 must still lose what version 6 made obsolete; a compressed
    // file is deleted under its installed name.
    QCOMPARE(section("out/7/client_linux_amd64.ini", "delete").keys(),
             (QStringList{"ancient.dat", "extra/x", "lib/gone.so", "old.txt"}));
    QCOMPARE(publisher({"verify", "out/7", "public.key"}).exitCode, 0);
}

void tst_Publisher::sharedVersionDirectory()
{
    QCOMPARE(publish("7").exitCode, 0);
    const QStringList other{"publish", "--client-type", "client_linux_x86", "--version", "7", "--key", "private.key",
                            "rel", "out"};
    // Identical files are shared; a differing one must not replace the file the first product ini lists.
    write("rel/client", "#!/bin/sh\necho x86 client\n");
    const CommandResult clash = publisher(other);
    QVERIFY2(clash.output.contains("belongs to the published client_linux_amd64.ini"), qPrintable(clash.output));
    QCOMPARE(clash.exitCode, 2);
    QCOMPARE(publisher({"verify", "out/7", "public.key"}).exitCode, 0);

    const CommandResult separate = publisher(other + QStringList{"--section", "release_x86"});
    QVERIFY2(separate.exitCode == 0, qPrintable(separate.output));
    const CommandResult both = publisher({"verify", "out/7", "public.key"});
    QVERIFY2(both.exitCode == 0 && both.output.count("signature valid") == 2, qPrintable(both.output));
}

void tst_Publisher::summaryAgainstPrevious()
{
    write("rel/lib/same.so", QByteArray(3000, 's'));
    QCOMPARE(publish("6", {"--gzip", "same.so"}).exitCode, 0);

    // client changed, data/big.bin gone, notes.txt new, lib/same.so now shipped uncompressed but with
    // the same content: an installation of 6 already has it.
    write("rel/client", "#!/bin/sh\necho client 7\n");
    QVERIFY(QFile::remove(dir->filePath("rel/data/big.bin")));
    write("rel/notes.txt", QByteArray(2000, 'n'));
    const CommandResult published = publish("7", {"--previous", "out/6/client_linux_amd64.ini"});
    QVERIFY2(published.exitCode == 0, qPrintable(published.output));
    // The changed client and the new notes: what the updater finds different by MD5 and fetches.
    const qint64 download = read("out/7/release/client").size() + 2000;
    const QString summary = QStringLiteral("against the previous release: files added 1, changed 1, removed 1; "
                                           "an updater on it downloads %1 (%2 bytes)\n")
                                .arg(QLocale::c().formattedDataSize(download))
                                .arg(download);
    QVERIFY2(published.output.contains(summary), qPrintable(published.output));
    // Without a previous release there is nothing to compare.
    QVERIFY(!publish("8").output.contains("against the previous release"));
}

void tst_Publisher::progressOnTerminalOnly()
{
    const QString program = QStringLiteral(MURMELO_BINARY_DIR "/bin/murmelo-publish");
    const QString command = program + " publish --client-type client_linux_amd64 --version %1 --key private.key rel out";

    // Into a pipe (and so into any log): only the lines that say what was published.
    const CommandResult piped = runCommand("sh", {"-c", command.arg(5)}, dir->path());
    QCOMPARE(piped.exitCode, 0);
    QVERIFY2(!piped.output.contains('\r') && !piped.output.contains('\033') && !piped.output.contains("%)"),
             qPrintable(piped.output));

    // On a terminal (script(1) gives it one): the line redrawn in place, erased before the next message.
    const CommandResult terminal = runCommand("script", {"-qec", command.arg(6), "/dev/null"}, dir->path());
    QCOMPARE(terminal.exitCode, 0);
    qint64 total = 0;
    for (const QByteArray &content : tree("rel"))
        total += content.size();
    const QRegularExpression line(QStringLiteral("\r\033\\[K[^\r\n]+ of %1 \\(\\d+%\\)\r\033\\[K\\d+ files written")
                                      .arg(QRegularExpression::escape(QLocale::c().formattedDataSize(total))));
    QVERIFY2(line.match(terminal.output).hasMatch(), qPrintable(terminal.output.toUtf8().toPercentEncoding(" \n")));
}

void tst_Publisher::ownKeyPair()
{
    QCOMPARE(publisher({"keygen", "vendor.key", "vendor.pub"}).exitCode, 0);
    const CommandResult again = publisher({"keygen", "vendor.key", "other.pub"});
    QVERIFY2(again.exitCode == 2 && again.output.contains("vendor.key exists already"), qPrintable(again.output));
    QCOMPARE(publisher({"publish", "--client-type", "c", "--version", "1", "--key", "vendor.key", "rel", "out"})
                     .exitCode,
             0);
    QCOMPARE(publisher({"verify", "out/1", "vendor.pub"}).exitCode, 0);
    const CommandResult demoKey = publisher({"verify", "out/1", "public.key"});
    QVERIFY2(demoKey.exitCode == 1 && demoKey.output.contains("is not a valid signature"), qPrintable(demoKey.output));
}

void tst_Publisher::badInput_data()
{
    QTest::addColumn<QByteArrayList>("files"); // raw names created in rel/
    QTest::addColumn<QStringList>("arguments"); // after "publish" with the usual arguments; "verify" replaces them
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");

    const auto name = [](const char *file, const char *text, const QStringList &arguments = {}) {
        QTest::addRow("file name %s", text) << QByteArrayList{file} << arguments << 2 << QString::fromUtf8(text);
    };
    name("a,b", "a,b: file name contains a comma");
    name("a#b", "a#b: file name contains \"#\"");
    name("what?", "would cut the download URL short");
    name("a%41b", "a%41b: file name contains a \"%\" escape");
    name("_old_client", "_old_client: file name begins with \"_old_\"");
    name("back\\slash", "contains a backslash");
    name("tab\tname", "contains a control character");
    name("bad\xff", "bad\xEF\xBF\xBD: name is not valid UTF-8");
    name("dir\xfe/inside", "dir\xEF\xBF\xBD: name is not valid UTF-8");
    name("data/big.bin.gz", "data/big.bin and data/big.bin.gz would both lie on the mirror as release/data/big.bin.gz",
         {"--gzip", "big.bin"});

    const auto argument = [](const char *row, const QStringList &arguments, int exitCode, const char *text) {
        QTest::newRow(row) << QByteArrayList{} << arguments << exitCode << QString::fromUtf8(text);
    };
    argument("section with slash", {"--section", "a/b"}, 2, "section a/b contains \"/\"");
    argument("section delete", {"--section", "delete"}, 2, "section delete is the section that lists obsolete");
    argument("section general", {"--section", "GENERAL"}, 2, "section GENERAL is read as the top level");
    argument("section dot-dot", {"--section", ".."}, 2, "section .. is \".\" or \"..\"");
    argument("version zero", {"--version", "0"}, 2, "version 0 must be a positive decimal integer");
    argument("version negative", {"--version", "-3"}, 2, "version -3 must be a positive");
    argument("version leading zero", {"--version", "07"}, 2, "version 07 must be");
    argument("version too large", {"--version", "2147483648"}, 2, "at most 2147483647");
    argument("client type path", {"--client-type", "../x"}, 2, "client type ../x must be letters");
    argument("missing release", {"--", "absent", "out"}, 2, "release directory absent does not exist");
    argument("empty release", {"--", "empty", "out"}, 2, "release directory empty holds no files");
    argument("missing key", {"--key", "absent.key"}, 2, "cannot read the key file absent.key");
    argument("public key", {"--key", "public.key"}, 2, "public.key holds a public key; signing needs the private");
    argument("garbage key", {"--key", "rel/client"}, 2, "rel/client holds no usable RSA key");
    argument("missing previous", {"--previous", "absent.ini"}, 2, "--previous absent.ini does not exist");
    argument("previous with an invalid line", {"--previous", "bad.ini"}, 2, "has 3 \"::\"-separated fields");
    argument("delete list climbing", {"--delete-list", "list"}, 2, "list:2: ../etc/passwd has a \".\" or \"..\"");
    argument("negative threshold", {"--gzip-above", "-5"}, 2, "--gzip-above -5 is not a number of bytes");
    argument("output inside release", {"--", "rel", "rel/out"}, 2, "overlap");
    argument("unknown option", {"--zip", "x"}, 3, "Unknown option 'zip'");
    argument("republish", {"--version", "5"}, 2, "version 5 of client_linux_amd64 is published already");
    argument("verify missing directory", {"verify", "absent", "public.key"}, 2, "absent does not exist");
    argument("verify unreadable key", {"verify", "out/5", "absent.pub"}, 2, "cannot read the key file absent.pub");
    argument("verify bad client type", {"verify", "out/5", "public.key", "a/b"}, 2, "client type a/b must be");
    argument("verify absent client type", {"verify", "out/5", "public.key", "other"}, 1, "other.ini is missing");
    argument("verify without ini", {"verify", "rel", "public.key"}, 1, "rel holds no product ini");
    argument("unknown command", {"check"}, 3, "unknown command check");
}

void tst_Publisher::badInput()
{
    QFETCH(QByteArrayList, files);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    QCOMPARE(publish("5").exitCode, 0);
    write("list", "fine\n../etc/passwd\n");
    write("bad.ini", "[release]\nclient=abc::1::x\n");
    QVERIFY(QDir(dir->path()).mkdir("empty"));
    for (const QByteArray &file : std::as_const(files)) {
        const QByteArray path = QFile::encodeName(dir->filePath("rel/")) + file;
        if (file.contains('/'))
            QVERIFY(::mkdir(path.left(path.lastIndexOf('/')).constData(), 0755) == 0 || errno == EEXIST);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    }

    const bool ownCommand = !arguments.isEmpty() && !arguments.first().startsWith("--");
    // Later arguments win, and "--" ends the options so that the last two name the directories.
    const CommandResult result = ownCommand ? publisher(arguments) : publish("7", arguments);
    QVERIFY2(result.output.contains(text), qPrintable(result.output));
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY(!QFile::exists(dir->filePath("out/7/client_linux_amd64.ini")));

    // QTemporaryDir cannot see names that are not UTF-8, so it could not remove them.
    for (const QByteArray &file : std::as_const(files)) {
        const QByteArray path = QFile::encodeName(dir->filePath("rel/")) + file;
        QCOMPARE(::unlink(path.constData()), 0);
        if (file.contains('/'))
            ::rmdir(path.left(path.lastIndexOf('/')).constData());
    }
}

// What the publisher writes must be what the updater's own list compiler reads: from an installation of
// version 6, the lists of version 7 name exactly the changed files, and applying them yields version 7.
void tst_Publisher::listCompilerRoundTrip()
{
    const QStringList gzip{"--gzip", "*.txt", "--gzip-above", "1000"};
    write("rel/old.txt", "old");
    QCOMPARE(publish("6", gzip).exitCode, 0);
    for (const auto &[path, content] : tree("rel").asKeyValueRange())
        write("install/" + path, content);
    write("install/user-settings.conf", "kept");

    write("rel/client", "#!/bin/sh\necho client 7\n");
    write("rel/data/big.bin", QByteArray(6000, 'B'));
    write("rel/lib/new.so", "new");
    QVERIFY(QFile::remove(dir->filePath("rel/old.txt")));
    const CommandResult published = publish("7", gzip + QStringList{"--previous", "out/6/client_linux_amd64.ini"});
    QVERIFY2(published.exitCode == 0, qPrintable(published.output));

    Configuration configuration;
    configuration.clientType = "client_linux_amd64";
    configuration.tempDir = dir->filePath("temp");
    QVERIFY(QDir().mkpath(configuration.tempDir));
    QVERIFY(QFile::copy(dir->filePath("out/7/client_linux_amd64.ini"), configuration.tempDir + "/client_linux_amd64.ini"));
    Configuration::setAppRootPathForTesting(dir->filePath("install"));
    const auto restoreRoot = qScopeGuard([] { Configuration::setAppRootPathForTesting(QString()); });
    FileSpecifications lists;
    QVERIFY(MakeDownloadReplaceListFunc(&configuration, lists).run());

    QStringList downloads;
    for (const FileDownloadSpecification &file : std::as_const(lists.downloadList)) {
        const QByteArray mirrored = read("out/7/" + file.remoteDir + "/" + file.fileName);
        QCOMPARE(file.md5, md5Hex(mirrored));
        QCOMPARE(file.size, quint64(mirrored.size()));
        downloads << file.remoteDir + "/" + file.fileName;
    }
    QCOMPARE(downloads, (QStringList{"release/client", "release/data/big.bin.gz", "release/lib/new.so"}));
    QStringList installs;
    for (const FileReplaceSpecification &file : std::as_const(lists.replaceList))
        installs << file.pureDestFilePath();
    QCOMPARE(installs, (QStringList{"client", "data/big.bin", "lib/new.so"}));
    QCOMPARE(lists.deleteList, QStringList{"old.txt"});

    for (const FileReplaceSpecification &file : std::as_const(lists.replaceList)) {
        const QString mirrored = "out/7/" + file.remoteDir + "/" + file.fileName;
        const QByteArray content = file.hasUnzip() ? gunzip(dir->filePath(mirrored)) : read(mirrored);
        if (file.hasUnzip())
            QCOMPARE(md5Hex(content), file.unzipMd5);
        write("install/" + file.pureDestFilePath(), content);
    }
    for (const QString &path : std::as_const(lists.deleteList))
        QVERIFY(QFile::remove(dir->filePath("install/" + path)));
    QMap<QString, QByteArray> expected = tree("rel");
    expected.insert("user-settings.conf", "kept");
    QCOMPARE(tree("install"), expected);

    QVERIFY(MakeDownloadReplaceListFunc(&configuration, lists).run());
    QVERIFY(lists.downloadList.isEmpty() && lists.replaceList.isEmpty() && lists.deleteList.isEmpty());
}

QTEST_GUILESS_MAIN(tst_Publisher)
#include "tst_publisher.moc"
