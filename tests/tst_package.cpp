#include "support/runcommand.h"
#include "support/updateserverprocess.h"

#include <QDir>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// The Debian packages as scripts/package builds them: what each one holds, and the update server
// unpacked from its package, run on its packaged configuration without a service manager.
class tst_Package : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void contents_data();
    void contents();
    void serverAnswersFromPackagedConfiguration();
    void serverServiceAndConfiguration();

private:
    QString debFile(const QString &package) const;
    // The files and links of a package, as paths relative to the root without "./".
    QStringList packagedFiles(const QString &package);
    QString controlFile(const QString &package, const QString &name);

    QString output = QStringLiteral(MURMELO_BINARY_DIR "/package-test");
    QString multiarch;
    QTemporaryDir unpacked;
};

namespace {

constexpr int PackageTimeoutMs = 25 * 60 * 1000;

const QStringList packagingTools{QStringLiteral("dpkg-buildpackage"), QStringLiteral("dh"),
                                 QStringLiteral("lintian"), QStringLiteral("dpkg-checkbuilddeps")};

} // namespace

void tst_Package::initTestCase()
{
    QStringList missing;
    for (const QString &tool : packagingTools)
        if (QStandardPaths::findExecutable(tool).isEmpty())
            missing << tool;
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("the packaging tools are not installed (%1 missing); "
                                        "scripts/package installs them")
                             .arg(missing.join(QLatin1String(", ")))));

    const CommandResult architecture = runCommand(QStringLiteral("dpkg-architecture"),
                                                  {QStringLiteral("-qDEB_HOST_MULTIARCH")});
    QCOMPARE(architecture.exitCode, 0);
    multiarch = architecture.output.trimmed();

    const CommandResult build = runCommand(QStringLiteral(MURMELO_SOURCE_DIR "/scripts/package"), {output},
                                           QString(), PackageTimeoutMs);
    QVERIFY2(build.exitCode == 0, qPrintable(build.output.right(6000)));
    // lintian's errors fail the script; its warnings are the ones debian/README.source explains.
    const QRegularExpression lintianError(QStringLiteral("^E: .*$"), QRegularExpression::MultilineOption);
    QVERIFY2(!lintianError.match(build.output).hasMatch(), qPrintable(lintianError.match(build.output).captured()));

    QVERIFY(unpacked.isValid());
    const CommandResult extract = runCommand(QStringLiteral("dpkg-deb"),
                                             {QStringLiteral("-x"), debFile(QStringLiteral("murmelo-updated")),
                                              unpacked.path()});
    QVERIFY2(extract.exitCode == 0, qPrintable(extract.output));
}

QString tst_Package::debFile(const QString &package) const
{
    const QStringList debs = QDir(output).entryList({package + QStringLiteral("_*.deb")}, QDir::Files);
    return debs.size() == 1 ? QDir(output).filePath(debs.first()) : QString();
}

QStringList tst_Package::packagedFiles(const QString &package)
{
    const CommandResult listing = runCommand(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), debFile(package)});
    if (listing.exitCode != 0)
        return {QStringLiteral("dpkg-deb -c failed: ") + listing.output};
    // -rwxr-xr-x root/root   12345 2026-12-09 10:00 ./usr/bin/name   (a link adds " -> target")
    const QRegularExpression entry(QStringLiteral("^([-l])\\S+\\s+\\S+\\s+\\d+\\s+\\S+\\s+\\S+\\s+\\./(\\S+)"),
                                   QRegularExpression::MultilineOption);
    QStringList files;
    for (const QRegularExpressionMatch &match : entry.globalMatch(listing.output))
        files << match.captured(2);
    files.sort();
    return files;
}

QString tst_Package::controlFile(const QString &package, const QString &name)
{
    const CommandResult info = runCommand(QStringLiteral("dpkg-deb"), {QStringLiteral("--info"), debFile(package), name});
    return info.exitCode == 0 ? info.output : QString();
}

void tst_Package::contents_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QStringList>("files");

    // A client package copies this directory into its installations: the updater and every
    // translation the build puts beside it, nothing else.
    const QString updaterDir = QStringLiteral("usr/lib/%1/murmelo-update/").arg(multiarch);
    QStringList updater{updaterDir + QStringLiteral("update")};
    const QStringList catalogues = QDir(QStringLiteral(MURMELO_BINARY_DIR "/bin/translations"))
                                       .entryList({QStringLiteral("*.qm")}, QDir::Files);
    QVERIFY(catalogues.contains(QStringLiteral("update_de.qm")));
    for (const QString &catalogue : catalogues)
        updater << updaterDir + QStringLiteral("translations/") + catalogue;

    QTest::newRow("updater") << QStringLiteral("murmelo-updater") << updater;
    QTest::newRow("publisher") << QStringLiteral("murmelo-publish")
                               << QStringList{QStringLiteral("usr/bin/murmelo-keytool"),
                                              QStringLiteral("usr/bin/murmelo-publish")};
    QTest::newRow("server") << QStringLiteral("murmelo-updated")
                            << QStringList{QStringLiteral("etc/murmelo-updated.conf"),
                                           QStringLiteral("lib/systemd/system/murmelo-updated.service"),
                                           QStringLiteral("usr/bin/murmelo-updated")};
}

void tst_Package::contents()
{
    QFETCH(QString, package);
    QFETCH(QStringList, files);
    QVERIFY2(!debFile(package).isEmpty(), qPrintable(package));

    // Beside its files, a package holds only its documentation.
    const QString docDir = QStringLiteral("usr/share/doc/%1/").arg(package);
    QStringList packaged = packagedFiles(package);
    QVERIFY(packaged.contains(docDir + QStringLiteral("copyright")));
    packaged.removeIf([&](const QString &path) { return path.startsWith(docDir); });
    files.sort();
    QCOMPARE(packaged, files);
}

void tst_Package::serverAnswersFromPackagedConfiguration()
{
    const QString program = unpacked.filePath(QStringLiteral("usr/bin/murmelo-updated"));
    const QString config = unpacked.filePath(QStringLiteral("etc/murmelo-updated.conf"));

    // The unit checks the file before it starts or reloads the server.
    const CommandResult check = runCommand(program, {QStringLiteral("--check"), config});
    QVERIFY2(check.exitCode == 0, qPrintable(check.output));

    UpdateServerProcess server;
    QVERIFY2(server.startInstalled(program, config), qPrintable(server.errorString()));
    QUdpSocket socket;
    QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
    socket.writeDatagram(QByteArray("3\0", 2), server.address(), server.versionPort());
    QVERIFY(socket.hasPendingDatagrams() || socket.waitForReadyRead(5000));
    QCOMPARE(socket.receiveDatagram().data(), QByteArray("1#0.0.1"));
}

void tst_Package::serverServiceAndConfiguration()
{
    QFile unit(unpacked.filePath(QStringLiteral("lib/systemd/system/murmelo-updated.service")));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(unit.readAll()).split(QLatin1Char('\n'));
    for (const char *line : {"ExecStart=/usr/bin/murmelo-updated --bind 0.0.0.0 /etc/murmelo-updated.conf",
                             "ExecReload=/usr/bin/murmelo-updated --check /etc/murmelo-updated.conf",
                             "ExecReload=/bin/kill -HUP $MAINPID", "User=murmelo-updated",
                             "ProtectSystem=strict", "NoNewPrivileges=yes", "CapabilityBoundingSet="})
        QVERIFY2(lines.contains(QLatin1String(line)), line);

    // The configuration survives upgrades and local edits, and the account exists before the service.
    QCOMPARE(controlFile(QStringLiteral("murmelo-updated"), QStringLiteral("conffiles")).trimmed(),
             QStringLiteral("/etc/murmelo-updated.conf"));
    QVERIFY(controlFile(QStringLiteral("murmelo-updated"), QStringLiteral("postinst"))
                .contains(QLatin1String("adduser --system --group")));
}

QTEST_GUILESS_MAIN(tst_Package)
#include "tst_package.moc"
