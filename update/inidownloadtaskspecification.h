#pragma once

#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class FileSpecifications;
class Mirrors;
class QNetworkAccessManager;

// First phase of a run: brings the product ini and its ".sig" into the temporary directory and
// verifies the signature. Copies left by an interrupted run are tried first; after a failed check
// both files are fetched again, until the check passes or maxFailedChecks is exceeded. With a target for
// it, the release manifest "<type>.ini.manifest" is fetched after the signature passed (always afresh: its
// expiry is what protects against a frozen mirror) and checked; a mirror without it is not at fault.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    static constexpr int MaxFailedChecks = 1000;
    // Nobody gives the size of these two files, so each download is bounded: a product ini of
    // 100 000 entries takes about 10 MB, and a signature is as long as the key's modulus, 512 bytes for
    // the largest key the signing tools make (4096 bits). A mirror that sends more is dropped.
    static constexpr qint64 MaxProductIniSize = 16 << 20;
    static constexpr qint64 MaxSignatureSize = 512;
    // Whether a release without a manifest is refused; the build's choice (MURMELO_REQUIRE_MANIFEST).
    static const bool ManifestRequiredByBuild;

    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                 Configuration *configuration, QObject *parent,
                                 double parentProgressRange);

    void execute() override;
    void reset() override;

    // Lets tests reach the give-up path without a thousand downloads.
    void setMaxFailedChecks(int limit);
    // Where an accepted release manifest goes (the run's lists); without a target none is fetched.
    void setManifestTarget(FileSpecifications *target) { manifestTarget = target; }
    // A required manifest is asked of every mirror before the run gives up without one.
    void setManifestRequired(bool required) { manifestRequired = required; }

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    int failedChecks = 0;
    int maxFailedChecks = MaxFailedChecks;
    FileSpecifications *manifestTarget = nullptr;
    bool manifestRequired = ManifestRequiredByBuild;
};
