#pragma once

#include "app/updatechannel.h"
#include "tasks/asynctaskspecification.h"
#include "update/manifestcheckfunc.h"

class Configuration;
class FileSpecifications;

// The last step of the product-ini phase, after the ini's signature passed: checks the release manifest
// the phase fetched (ManifestCheckFunc) and hands an accepted one to the run's FileSpecifications, so that
// every later check compares SHA-256 sums as well. A refusal ends the task error-cancelled, and the run
// with it, as a product ini that cannot be verified does; nothing is installed and the temporary directory
// stays. A release without a manifest passes unless the manifest is required.
class ManifestCheckTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    ManifestCheckTaskSpecification(Configuration *configuration, bool required, FileSpecifications &target,
                                   QObject *parent, double parentProgressRange);

    // The channel's name in manifests: "stable", "beta" or "alpha".
    static QString channelName(UpdateChannel channel);

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool ok) override;

private:
    Configuration *configuration;
    bool required;
    FileSpecifications *target;
    ManifestCheckFunc::Result result;
};
