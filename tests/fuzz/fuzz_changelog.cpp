// The changelog as the viewer shows it: fetched unsigned from a mirror, decoded as the reply's text
// stream decodes it, and given to the dialog itself, so that whatever the viewer does to outside markup
// before layout is what gets fuzzed.
#include "fuzzsupport.h"

#include "ui/changelogviewer.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ChangeLogViewer *viewer = new ChangeLogViewer(nullptr);
    viewer->load(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
