#include "app/configuration.h"
#include "support/childprocess.h"
#include "support/driverlog.h"
#include "support/runcommand.h"
#include "support/updateserverprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The relocatable updater bundle (scripts/bundle): self-contained as far as Qt goes, started in a mount
// namespace in which the system's Qt libraries, plug-ins and translations cannot be read.
class tst_Bundle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void qtResolvedInsideBundle();
    void bundledLibrariesAreSpecialFiles();
    void startsWithSystemQtHidden();

private:
    // Every library and plug-in of the bundle, relative to it.
    QStringList sharedObjects() const;

    QTemporaryDir work;
    QString bundle;
};

namespace {

// Run inside the new namespace: an empty directory over Qt's plug-ins and translations, /dev/null over
// each of its libraries (a read of one then fails), and then the program.
const char hideQt[] = R"(set -e
empty=$(mktemp -d)
mount --bind "$empty" "$QT_PLUGINS"
mount --bind "$empty" "$QT_TRANSLATIONS"
for library in "$QT_LIBRARIES"/libQt6*.so*; do
    [ -L "$library" ] || mount --bind /dev/null "$library"
done
exec "$@")";

} // namespace

void tst_Bundle::initTestCase()
{
    const CommandResult namespaces = runCommand(QStringLiteral("unshare"),
                                                {QStringLiteral("--mount"), QStringLiteral("true")});
    if (namespaces.exitCode != 0)
        QSKIP(qPrintable(QStringLiteral("cannot make a mount namespace here (needs root): ") + namespaces.output));

    QVERIFY(work.isValid());
    bundle = work.filePath(QStringLiteral("murmelo-update"));
    const CommandResult made = runCommand(QStringLiteral(MURMELO_SOURCE_DIR "/scripts/bundle"),
                                          {bundle, QStringLiteral(MURMELO_BINARY_DIR)});
    QVERIFY2(made.exitCode == 0, qPrintable(made.output));
}

QStringList tst_Bundle::sharedObjects() const
{
    QStringList objects;
    QDirIterator it(bundle, {QStringLiteral("*.so"), QStringLiteral("*.so.*")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        objects << QDir(bundle).relativeFilePath(it.next());
    objects.sort();
    return objects;
}

void tst_Bundle::qtResolvedInsideBundle()
{
    QStringList checked{QStringLiteral("update")};
    checked += sharedObjects();
    for (const QString &object : checked) {
        const CommandResult ldd = runCommand(QStringLiteral("ldd"), {QDir(bundle).filePath(object)});
        QVERIFY2(ldd.exitCode == 0, qPrintable(object + QStringLiteral(": ") + ldd.output));
        // "	libQt6Core.so.6 => /path/libQt6Core.so.6 (0x...)"
        const QRegularExpression qtLine(QStringLiteral("^\\s*(libQt6\\S*) => (\\S+)"), QRegularExpression::MultilineOption);
        for (const QRegularExpressionMatch &match : qtLine.globalMatch(ldd.output)) {
            const QString resolved = QFileInfo(match.captured(2)).canonicalFilePath();
            QCOMPARE(resolved, QDir(bundle).filePath(match.captured(1)));
        }
    }
    QVERIFY(QFile::exists(QDir(bundle).filePath(QStringLiteral("libQt6Core.so.6"))));
    QVERIFY(QFile::exists(QDir(bundle).filePath(QStringLiteral("platforms/libqxcb.so"))));
}

// The running updater has all of them mapped: an update must park them instead of overwriting them.
void tst_Bundle::bundledLibrariesAreSpecialFiles()
{
    for (const QString &object : sharedObjects())
        QVERIFY2(Configuration::isSpecialFileName(QFileInfo(object).fileName()), qPrintable(object));
}

void tst_Bundle::startsWithSystemQtHidden()
{
    // A client installation made from the bundle, asking a local update server.
    const QString root = work.filePath(QStringLiteral("installation"));
    QVERIFY(QDir().mkpath(work.filePath(QStringLiteral("tmp"))));
    QCOMPARE(runCommand(QStringLiteral("cp"), {QStringLiteral("-a"), bundle, root}).exitCode, 0);
    UpdateServerProcess server;
    QVERIFY2(server.startOnStandardPorts("[stable]\nversion = 1042\nname = 1.4.2\n"), qPrintable(server.errorString()));
    QSettings(root + QStringLiteral("/update.ini"), QSettings::IniFormat)
        .setValue(QStringLiteral("update/server"), server.address().toString());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE", "LD_LIBRARY_PATH", "QT_PLUGIN_PATH"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), work.filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), work.filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("QT_PLUGINS"), QLibraryInfo::path(QLibraryInfo::PluginsPath));
    environment.insert(QStringLiteral("QT_TRANSLATIONS"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    environment.insert(QStringLiteral("QT_LIBRARIES"), QLibraryInfo::path(QLibraryInfo::LibrariesPath));
    // The test's own plug-in reports the window; it uses the Qt libraries the program has loaded.
    const QString log = work.filePath(QStringLiteral("driver.log"));
    loadTestDriver(environment, log);

    ChildProcess program;
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QStringLiteral("unshare"), {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                                              QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
                                              QLatin1String(hideQt), QStringLiteral("sh"),
                                              root + QStringLiteral("/update")});
    // Shown with its German title: the program's translation came from the bundle as well.
    const QStringList shown{QStringLiteral("shown"), QStringLiteral("MainWindow"),
                            QStringLiteral("Murmelo 4 Client-Aktualisierung")};
    QTRY_VERIFY_WITH_TIMEOUT(readDriverLog(log).contains(shown) || program.state() == QProcess::NotRunning, 20000);
    QVERIFY2(readDriverLog(log).contains(shown), "the bundled updater did not show its window");

    // Every Qt library and plug-in it runs with is the bundle's (the test driver aside).
    QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    QStringList qtFiles;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const QString path = QString::fromLocal8Bit(line.mid(line.indexOf('/')));
        if (line.contains('/') && (path.contains(QLatin1String("libQt6")) || path.contains(QLatin1String("/libq")))
            && !path.startsWith(QStringLiteral(MURMELO_BINARY_DIR "/tests/plugins/")))
            qtFiles << path;
    }
    qtFiles.removeDuplicates();
    QVERIFY(qtFiles.contains(root + QStringLiteral("/libQt6Core.so.6")));
    QVERIFY(qtFiles.contains(root + QStringLiteral("/platforms/libqoffscreen.so")));
    for (const QString &path : qtFiles)
        QVERIFY2(path.startsWith(root + QLatin1Char('/')), qPrintable(path));
    program.stop();
}

QTEST_GUILESS_MAIN(tst_Bundle)
#include "tst_bundle.moc"
