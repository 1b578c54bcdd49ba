// The publisher's checks of the names that go into a product ini: taken from the release directory on
// disk (file and directory names, any bytes but "/" and NUL) and from its command line.
#include "fuzzsupport.h"

#include "releasenames.h"

#include <QFile>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // A name read from the disk arrives decoded the way QDir decodes it; one from the command line as UTF-8.
    for (const QString &name : {QFile::decodeName(bytes), QString::fromUtf8(bytes)}) {
        (void)ReleaseNames::checkPath(name);
        (void)ReleaseNames::checkSection(name);
        (void)ReleaseNames::checkClientType(name);
        (void)ReleaseNames::checkVersion(name);
    }
    return 0;
}
