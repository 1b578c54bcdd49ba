#pragma once

#include <QList>
#include <QProcessEnvironment>
#include <QStringList>

// The test driver plug-in (tests/driver) loaded into a program a test starts: it logs what the program
// shows and answers its message boxes as Escape would.

// Makes a program started with this environment load the driver, which appends to logPath.
void loadTestDriver(QProcessEnvironment &environment, const QString &logPath);
// The log's lines, each split into its tab-separated fields; empty while there is no log.
QList<QStringList> readDriverLog(const QString &logPath);
