// md5check <file> <expected md5>: one MD5 check through the updater's check task, for bench/md5-check.
// Exit status 0 when the sum matches, 1 when not, 2 on usage errors.

#include "net/checksignaturetaskspecification.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: md5check <file> <expected md5>\n", stderr);
        return 2;
    }
    CheckSignatureTaskSpecification task(arguments.at(1), arguments.at(2), false, nullptr, 1.0);
    QObject::connect(&task, &TaskSpecification::message, &app,
                     [](const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone, &app,
                     [](bool pass) { QCoreApplication::exit(pass ? 0 : 1); });
    task.execute();
    return app.exec();
}
