// A block map fetched from a mirror: unsigned, so any bytes at all may arrive.
#include "fuzzsupport.h"

#include "tasks/blockmap.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    BlockMap map;
    QString why;
    if (BlockMap::parse(input, map, why)) {
        // What parses must be exactly what would be written for it.
        if (map.serialize() != input || map.blockCount() > BlockMap::MaxBlocks)
            std::abort();
    } else if (why.isEmpty()) {
        std::abort();
    }
    return 0;
}
