// mirrors.ini beside the installation: the mirror list of a run and the slots drawn from it.
#include "fuzzsupport.h"

#include "net/mirrors.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ScratchDir scratch;
    Mirrors mirrors;
    mirrors.seedRandom(1);
    mirrors.initDefault(scratch.write(QStringLiteral("mirrors.ini"), data, size), 1042);
    // Draw every slot, then fail each drawn mirror until the list is empty, as a bad run would.
    FTPSiteAccessData mirror;
    QStringList drawn;
    while (mirrors.getRandomMirror(mirror) == Mirrors::MirrorChosen && drawn.size() < 64)
        drawn.append(mirror.name);
    for (const QString &name : std::as_const(drawn)) {
        mirrors.releaseMirror(name);
        mirrors.addMirrorError(name);
    }
    return 0;
}
