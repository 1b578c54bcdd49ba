// The product ini, after its signature check, through the list compiler: what to download, replace and
// delete. The installation holds a file, a link out of it and a subdirectory, so that the path checks
// and the digest comparisons meet real entries.
#include "fuzzsupport.h"

#include "app/configuration.h"
#include "update/filespecifications.h"
#include "update/makedownloadreplacelistfunc.h"

#include <QFile>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ScratchDir scratch;
    static const uint8_t content[] = "murmelo\n";
    scratch.write(QStringLiteral("install/client.bin"), content, sizeof content - 1);
    scratch.write(QStringLiteral("install/plugins/one.so"), content, sizeof content - 1);
    QFile::link(scratch.path(), scratch.path() + QStringLiteral("/install/outside"));
    scratch.write(QStringLiteral("temp/client.bin"), content, sizeof content - 1);
    Configuration::setAppRootPathForTesting(scratch.path() + QStringLiteral("/install"));

    Configuration configuration;
    configuration.clientType = QStringLiteral("client_linux_amd64");
    configuration.tempDir = scratch.path() + QStringLiteral("/temp");
    scratch.write(QStringLiteral("temp/client_linux_amd64.ini"), data, size);

    FileSpecifications result;
    MakeDownloadReplaceListFunc compiler(&configuration, result);
    compiler.run();
    return 0;
}
