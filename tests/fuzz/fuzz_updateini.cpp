// update.ini in the installation directory: the channel, the alpha mirror, the server name, proxy and
// streams, and the record of an unfinished run; it is read by every start.
#include "fuzzsupport.h"

#include "app/configuration.h"
#include "net/mirrors.h"
#include "update/updateinidata.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ScratchDir scratch;
    const QString updateIni = scratch.write(QStringLiteral("update.ini"), data, size);
    Configuration::setAppRootPathForTesting(scratch.path());

    Configuration configuration;
    configuration.getUpdateChannel();
    configuration.getProxyAndDownloadConcurrency();
    (void)Configuration::getUpdateServerName();

    int version = 0;
    QString type;
    QString dir;
    if (UpdateIniData::get(&version, &type, &dir))
        (void)Configuration::isOwnTempDir(dir);

    Mirrors mirrors;
    mirrors.initAlpha(updateIni, configuration.clientVersion);
    return 0;
}
