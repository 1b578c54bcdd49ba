#pragma once

#include "net/releasemanifest.h"
#include "tasks/asyncfunc.h"

#include <QStringList>

// The pool side of ManifestCheckTaskSpecification: reads the release manifest the product-ini phase
// fetched, checks its signature under the built-in keys (less those this installation saw retired, plus
// what its rotation statements add), that it describes the release the run installs, and that it lists
// exactly the files of the verified product ini. Writes only into its own result.
class ManifestCheckFunc : public ASyncFunc
{
    Q_OBJECT
public:
    struct Result
    {
        bool present = false;
        ReleaseManifest manifest;
        QStringList retiredKeys; // after the rotation statements
    };

    ManifestCheckFunc(QString manifestPath, QString iniPath, ReleaseManifest::Expectation expected,
                      QStringList retiredKeys, bool required, Result &result);

    bool run() override;

private:
    QString check(const QByteArray &text);
    QString listsIniFiles() const;
    bool refuse(const QString &why);

    QString manifestPath;
    QString iniPath;
    ReleaseManifest::Expectation expected;
    QStringList retiredKeys;
    bool required;
    Result &result;
};
