#pragma once

#include <QString>
#include <QStringList>

struct CommandResult
{
    int exitCode = -1; // -1 when the program could not be started or crashed
    QString output;    // stdout and stderr together
};

// Runs a command-line program to its end (at most timeoutMs) in the given directory.
CommandResult runCommand(const QString &program, const QStringList &arguments,
                         const QString &workingDirectory = QString(), int timeoutMs = 60000);
