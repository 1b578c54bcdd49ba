#pragma once

#include "tasks/asynctaskspecification.h"
#include "update/filespecifications.h"

class Configuration;

// Compiles the product ini against the installation on the thread pool. The worker fills only this task's
// own result; runDone publishes it into the target lists on the main thread before the task finishes, so
// whoever starts on finished() sees complete lists. On failure the target lists are left as they were.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    MakeDownloadReplaceListTaskSpecification(Configuration *configuration, FileSpecifications &target,
                                             QObject *parent, double parentProgressRange);

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool ok) override;

private:
    Configuration *configuration;
    FileSpecifications *target;
    FileSpecifications result;
};
