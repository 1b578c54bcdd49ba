// The banner answer (one datagram of at most 1024 bytes) and the two URLs the update engine makes of it.
#include "fuzzsupport.h"

#include "net/banner.h"

#include <QUrl>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray answer(reinterpret_cast<const char *>(data), qsizetype(size));
    QString bannerUrl;
    QString clickUrl;
    if (Banner::parseAnswer(answer, bannerUrl, clickUrl)) {
        const QUrl image(bannerUrl);
        const QUrl click = QUrl::fromUserInput(clickUrl);
        if (image.isValid() && click.isValid())
            (void)image.toString().size();
    }
    return 0;
}
