#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filespecifications.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Root of one update run: product ini, list compiler, downloads, installation and deletion, strictly
// one after another. The phases share the run's FileSpecifications, which this task owns; phase 2
// fills the lists and the later phases read them when they start. Owned by the update engine.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                          Configuration *configuration, QObject *parent,
                          double parentProgressRange);

    void execute() override;
    void reset() override;

    const FileSpecifications &specifications() const { return fileSpecifications; }

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    FileSpecifications fileSpecifications;
};
