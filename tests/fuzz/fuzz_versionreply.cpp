// The update server's two UDP replies as the updater reads them before its window exists: the version
// list (at most 511 bytes) and the news text (at most 4095), each one datagram. The version of the
// chosen channel then goes through the same number check as a version given on the command line.
#include "fuzzsupport.h"

#include "app/configuration.h"
#include "app/updatechecker.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QPair<QString, QString>> versions
        = UpdateChecker::parseVersionList(UpdateChecker::replyText(datagram));
    for (const UpdateChannel channel : {Stable, Beta, Alpha}) {
        Configuration configuration;
        configuration.getClientVersionFromString(versions.value(channel).first, QStringLiteral("%1"));
    }
    return 0;
}
