#include "support/updateserverprocess.h"
#include "support/childprocess.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTest>

#include <csignal>

namespace {
constexpr int StartTimeoutMs = 10000;
}

UpdateServerProcess::UpdateServerProcess(QObject *parent)
    : QObject(parent),
      process(new ChildProcess(this))
{
}

// Stops the server before its directory goes away with the members.
UpdateServerProcess::~UpdateServerProcess()
{
    stop();
}

QString UpdateServerProcess::program()
{
    return QStringLiteral(MURMELO_BINARY_DIR "/bin/murmelo-updated");
}

QString UpdateServerProcess::configFile() const
{
    return directory.filePath(QStringLiteral("murmelo-updated.conf"));
}

bool UpdateServerProcess::writeConfig(const QByteArray &config)
{
    QSaveFile file(configFile());
    if (file.open(QIODevice::WriteOnly) && file.write(config) == config.size() && file.commit())
        return true;
    lastError = QStringLiteral("cannot write %1: %2").arg(configFile(), file.errorString());
    return false;
}

QString UpdateServerProcess::readErrorOutput()
{
    errorOutput += QString::fromLocal8Bit(process->readAllStandardError());
    return errorOutput;
}

bool UpdateServerProcess::start(const QByteArray &config, const QHostAddress &address, quint16 versionPort,
                                quint16 bannerPort, const QStringList &extraArguments)
{
    stop();
    if (!directory.isValid()) {
        lastError = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    return writeConfig(config) && launch(program(), configFile(), address, versionPort, bannerPort, extraArguments);
}

bool UpdateServerProcess::startInstalled(const QString &installedProgram, const QString &installedConfigFile,
                                         const QHostAddress &address)
{
    stop();
    return launch(installedProgram, installedConfigFile, address, 0, 0, {});
}

bool UpdateServerProcess::launch(const QString &serverProgram, const QString &serverConfigFile,
                                 const QHostAddress &address, quint16 versionPort, quint16 bannerPort,
                                 const QStringList &extraArguments)
{
    errorOutput.clear();
    serverVersionPort = serverBannerPort = 0;
    serverAddress = address;
    process->start(serverProgram, QStringList{QStringLiteral("--bind"), address.toString(),
                                                QStringLiteral("--version-port"), QString::number(versionPort),
                                                QStringLiteral("--banner-port"), QString::number(bannerPort)}
                                        + extraArguments + QStringList{serverConfigFile});
    QByteArray output;
    const QRegularExpression listening(QStringLiteral("version port (\\d+), banner port (\\d+)"));
    QRegularExpressionMatch match;
    const bool settled = QTest::qWaitFor([&] {
        output += process->readAllStandardOutput();
        match = listening.match(QString::fromLocal8Bit(output));
        return match.hasMatch() || process->state() == QProcess::NotRunning;
    }, StartTimeoutMs);
    if (!settled || !match.hasMatch()) {
        process->stop();
        lastError = QStringLiteral("%1 did not start: %2%3")
                            .arg(serverProgram, process->errorString(), readErrorOutput());
        return false;
    }
    serverVersionPort = quint16(match.captured(1).toUInt());
    serverBannerPort = quint16(match.captured(2).toUInt());
    return true;
}

bool UpdateServerProcess::startOnStandardPorts(const QByteArray &config)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        // 127.0.0.1 is left to servers that use it by default.
        const quint32 host = QRandomGenerator::global()->bounded(2u, 0xffffffu);
        if (start(config, QHostAddress((127u << 24) | host), 17384, 2009))
            return true;
        if (!errorOutput.contains(QLatin1String("cannot listen")))
            return false;
    }
    return false;
}

bool UpdateServerProcess::reload(const QByteArray &config)
{
    if (process->state() != QProcess::Running) {
        lastError = QStringLiteral("the server is not running");
        return false;
    }
    if (!writeConfig(config))
        return false;
    const qsizetype seen = readErrorOutput().size();
    ::kill(pid_t(process->processId()), SIGHUP);
    QString answer;
    const bool answered = QTest::qWaitFor([&] {
        answer = readErrorOutput().mid(seen);
        return answer.contains(QLatin1Char('\n')) || process->state() != QProcess::Running;
    }, StartTimeoutMs);
    if (answered && answer.contains(QLatin1String("reloaded")))
        return true;
    lastError = answer.isEmpty() ? QStringLiteral("no answer to SIGHUP") : answer.trimmed();
    return false;
}

void UpdateServerProcess::stop()
{
    process->stop();
}
