#include "update/manifestchecktaskspecification.h"

#include "app/configuration.h"
#include "update/filespecifications.h"
#include "update/manifestrecord.h"

#include <QDateTime>

ManifestCheckTaskSpecification::ManifestCheckTaskSpecification(Configuration *configuration, bool required,
                                                               FileSpecifications &target, QObject *parent,
                                                               double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , configuration(configuration)
    , required(required)
    , target(&target)
{
}

QString ManifestCheckTaskSpecification::channelName(UpdateChannel channel)
{
    switch (channel) {
    case Beta:
        return QStringLiteral("beta");
    case Alpha:
        return QStringLiteral("alpha");
    case Stable:
        break;
    }
    return QStringLiteral("stable");
}

ASyncFunc *ManifestCheckTaskSpecification::createFunction()
{
    const QString iniPath = configuration->tempDir + QLatin1Char('/') + configuration->clientType + QStringLiteral(".ini");
    ReleaseManifest::Expectation expected;
    expected.clientType = configuration->clientType;
    expected.version = quint64(qMax(0, configuration->clientVersion));
    expected.channel = channelName(configuration->channel);
    expected.now = QDateTime::currentDateTimeUtc();
    expected.highestAccepted = ManifestRecord::highestAcceptedVersion();
    return new ManifestCheckFunc(configuration->tempDir + QLatin1Char('/') + ReleaseManifest::fileName(configuration->clientType),
                                 iniPath, expected, ManifestRecord::retiredKeys(), required, result);
}

void ManifestCheckTaskSpecification::runDone(bool ok)
{
    if (ok && result.present) {
        target->manifest = result.manifest;
        target->retiredManifestKeys = result.retiredKeys;
    }
    ASyncTaskSpecification::runDone(ok);
}
