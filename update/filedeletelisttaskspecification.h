#pragma once

#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

// Last phase of a run: removes the listed files, one after another and best effort; nothing is undone.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(QList<QString> *deleteList, QObject *parent, double parentProgressRange);

    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    QList<QString> *deleteList; // relative to the installation directory; not owned
};
