// The news text from the update server's reply (one datagram, at most 4095 bytes, unauthenticated) as
// the news banner takes it: through the widget itself, so that whatever the banner does to outside
// markup before layout is what gets fuzzed.
#include "fuzzsupport.h"

#include "app/updatechecker.h"
#include "ui/newsbanner.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static NewsBanner *banner = [] {
        auto *widget = new NewsBanner(nullptr);
        widget->resize(600, 16);
        return widget;
    }();
    banner->setNews(UpdateChecker::replyText(QByteArrayView(reinterpret_cast<const char *>(data),
                                                            qsizetype(size))));
    return 0;
}
