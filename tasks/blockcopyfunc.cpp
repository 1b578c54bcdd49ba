#include "tasks/blockcopyfunc.h"

#include <QFile>

namespace {
constexpr qint64 ChunkSize = 1 << 20;
} // namespace

BlockCopyFunc::BlockCopyFunc(const QString &source, const QString &destination, qint64 size,
                             QList<DeltaPlan::Copy> copies)
    : source(source), destination(destination), size(size), copies(std::move(copies))
{
}

bool BlockCopyFunc::run()
{
    QFile from(source);
    QFile to(destination);
    const auto fail = [&](const QString &text) {
        emit message(text);
        if (to.isOpen())
            to.close();
        to.remove();
        return false;
    };
    if (!from.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(QStringLiteral("Cannot read %1: %2").arg(source, from.errorString()));
    if (!to.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !to.resize(size))
        return fail(QStringLiteral("Cannot write %1: %2").arg(destination, to.errorString()));
    QByteArray chunk(qMin(ChunkSize, size), Qt::Uninitialized);
    qint64 done = 0;
    qint64 total = 0;
    for (const DeltaPlan::Copy &copy : std::as_const(copies))
        total += copy.length;
    for (const DeltaPlan::Copy &copy : std::as_const(copies)) {
        if (!from.seek(copy.from) || !to.seek(copy.to))
            return fail(QStringLiteral("Cannot copy blocks from %1 to %2").arg(source, destination));
        for (qint64 left = copy.length; left > 0;) {
            const qint64 part = qMin(left, ChunkSize);
            // A local copy that shrank since the scan shows here as a short read.
            if (from.read(chunk.data(), part) != part)
                return fail(QStringLiteral("Cannot read %1: it changed while blocks were copied").arg(source));
            if (to.write(chunk.constData(), part) != part)
                return fail(QStringLiteral("Cannot write %1: %2").arg(destination, to.errorString()));
            left -= part;
            done += part;
        }
        emit progress(qreal(done) / qreal(qMax(total, qint64(1))));
    }
    to.close();
    if (to.error() != QFileDevice::NoError)
        return fail(QStringLiteral("Cannot write %1: %2").arg(destination, to.errorString()));
    return true;
}
