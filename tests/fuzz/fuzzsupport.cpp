#include "fuzzsupport.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>

namespace {
QTemporaryDir *scratchRoot = nullptr;
qint64 writeCount = 0;
}

void FuzzSupport::initApplication(int *argc, char ***argv, bool widgets)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // libFuzzer ends the process with exit(), so the application object and the scratch root are never
    // destroyed; the scratch root is removed by the exit handler instead.
    if (widgets)
        new QApplication(*argc, *argv);
    else
        new QCoreApplication(*argc, *argv);
    scratchRoot = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/murmelo-fuzz-XXXXXX"));
    if (!scratchRoot->isValid())
        std::abort();
    std::atexit([] { delete scratchRoot; });
}

ScratchDir::ScratchDir()
    : dir(scratchRoot->filePath(QStringLiteral("input")))
{
    if (!QDir().mkpath(dir))
        std::abort();
}

ScratchDir::~ScratchDir()
{
    QDir(dir).removeRecursively();
}

QString ScratchDir::write(const QString &name, const uint8_t *data, size_t size) const
{
    const QString path = dir + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size) || !file.flush()
        || !file.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000 + ++writeCount),
                             QFileDevice::FileModificationTime))
        std::abort();
    return path;
}
