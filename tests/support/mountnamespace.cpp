#include "support/mountnamespace.h"

#include "support/runcommand.h"

#include <QTemporaryDir>

namespace {
const QString Unshare = QStringLiteral("unshare");
const QString Nsenter = QStringLiteral("nsenter");
constexpr int ReadyMs = 10000;
}

bool MountNamespace::permitted(QString *reason)
{
    QTemporaryDir dir;
    const CommandResult result = runCommand(
        Unshare, { QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                   QStringLiteral("sh"), QStringLiteral("-c"),
                   QStringLiteral("mount -t tmpfs -o size=64k tmpfs \"$0\" && mount --bind -o ro \"$0\" \"$0\""),
                   dir.path() });
    if (result.exitCode != 0)
        *reason = QStringLiteral("a private mount namespace with a tmpfs is not permitted here: ") + result.output;
    return result.exitCode == 0;
}

bool MountNamespace::start(const QString &setup, QString *error)
{
    holder.setProcessChannelMode(QProcess::MergedChannels);
    holder.start(Unshare, { QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                            QStringLiteral("sh"), QStringLiteral("-c"),
                            QStringLiteral("set -e\n") + setup + QStringLiteral("\necho ready\nexec sleep 3600") });
    QByteArray output;
    while (holder.waitForReadyRead(ReadyMs)) {
        output += holder.readAll();
        if (output.endsWith("ready\n"))
            return true;
    }
    *error = QStringLiteral("mount namespace set-up failed: ") + QString::fromLocal8Bit(output + holder.readAll());
    return false;
}

bool MountNamespace::run(const QString &command, QString *error)
{
    const CommandResult result = runCommand(Nsenter, wrap(QStringLiteral("sh"), { QStringLiteral("-c"), command }));
    *error = result.output;
    return result.exitCode == 0;
}

QStringList MountNamespace::wrap(const QString &program, const QStringList &arguments) const
{
    return QStringList{ QStringLiteral("-t"), QString::number(holder.processId()), QStringLiteral("-m"),
                        QStringLiteral("--"), program } + arguments;
}

QString MountNamespace::view(const QString &path) const
{
    return QStringLiteral("/proc/%1/root").arg(holder.processId()) + path;
}
