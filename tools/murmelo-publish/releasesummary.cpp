#include "releasesummary.h"

#include <QHash>
#include <QLocale>
#include <QSet>

namespace {

// The content an installation ends up with, whether it travels compressed or not.
const FileDigest &installedContent(const ProductIni::Entry &entry)
{
    return entry.isCompressed() ? entry.unzipped : entry.file;
}

} // namespace

ReleaseSummary::ReleaseSummary(const ProductIni &previous, const ProductIni &current)
{
    QHash<QString, FileDigest> before;
    for (const ProductIni::Entry &entry : previous.entries)
        before.insert(entry.installedPath(), installedContent(entry));
    QSet<QString> seen;
    for (const ProductIni::Entry &entry : current.entries) {
        const QString path = entry.installedPath();
        seen.insert(path);
        const auto old = before.constFind(path);
        if (old != before.constEnd() && *old == installedContent(entry))
            continue;
        // The updater compares installed content by MD5 and fetches every file that differs.
        (old == before.constEnd() ? added : changed) += 1;
        downloadBytes += entry.file.size;
    }
    for (auto it = before.constBegin(); it != before.constEnd(); ++it)
        removed += seen.contains(it.key()) ? 0 : 1;
}

QString ReleaseSummary::text() const
{
    QString download = QLocale::c().formattedDataSize(qint64(downloadBytes));
    if (downloadBytes >= 1024)
        download += QStringLiteral(" (%1 bytes)").arg(downloadBytes);
    return QStringLiteral("against the previous release: files added %1, changed %2, removed %3; "
                          "an updater on it downloads %4")
        .arg(added)
        .arg(changed)
        .arg(removed)
        .arg(download);
}
