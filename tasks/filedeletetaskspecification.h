#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Deletes a file; a deletion is never undone, so nothing is recorded.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool failOnError, const QString &path, QObject *parent,
                                double parentProgressRange);

protected:
    bool doOp() override;

    bool failOnError; // false: a failed removal is ignored and the task finishes
};
