#pragma once

#include "support/childprocess.h"

#include <QString>
#include <QStringList>

// A private mount namespace for fault tests: a small tmpfs over a directory, or a read-only bind mount,
// seen only by the programs started in it. A holder process keeps the namespace alive between the
// programs, so that what they left on a tmpfs is there for the next one and for the test, which reads
// it through the holder's /proc/<pid>/root. Needs root (or CAP_SYS_ADMIN); permitted() says whether
// this machine allows it.
class MountNamespace
{
public:
    // Whether a private mount namespace with a tmpfs can be made here; why not in `reason`.
    static bool permitted(QString *reason);

    // Starts the holder, which runs `setup` (a shell script) in the new namespace first.
    bool start(const QString &setup, QString *error);
    // Runs a shell command inside the namespace; its exit status is 0 on success.
    bool run(const QString &command, QString *error);
    // Arguments for nsenter that run `program` with `arguments` inside the namespace.
    QStringList wrap(const QString &program, const QStringList &arguments) const;
    // The path under which the test sees `path` as the namespace's programs see it.
    QString view(const QString &path) const;

private:
    ChildProcess holder;
};
