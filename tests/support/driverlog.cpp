#include "support/driverlog.h"

#include "support/testfiles.h"

void loadTestDriver(QProcessEnvironment &environment, const QString &logPath)
{
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(MURMELO_BINARY_DIR "/tests/plugins"));
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("murmelotestdriver:") + logPath);
}

QList<QStringList> readDriverLog(const QString &logPath)
{
    QList<QStringList> lines;
    for (const QByteArray &line : readFile(logPath, {}).split('\n')) {
        if (!line.isEmpty())
            lines.append(QString::fromUtf8(line).split(QLatin1Char('\t')));
    }
    return lines;
}
