#include "releasepublisher.h"

#include "keyfile.h"
#include "publishprogress.h"
#include "releasenames.h"
#include "releasesummary.h"
#include "releaseverifier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>
#include <QTextStream>

namespace {
QString absoluteClean(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
}

bool isWithin(const QString &path, const QString &directory)
{
    return path == directory || path.startsWith(directory + QLatin1Char('/'));
}
} // namespace

ReleasePublisher::ReleasePublisher(const Options &options, QTextStream &out)
    : options(options)
    , out(out)
    , tree(options.gzipPatterns, options.gzipAbove)
    , writer(versionDir(), out, problems)
{
    writer.setBlockMapThreshold(options.blockMapThreshold);
}

QString ReleasePublisher::versionDir() const
{
    return options.outDir + QLatin1Char('/') + options.version;
}

bool ReleasePublisher::publish()
{
    if (!checkOptions() || !collectFiles() || !collectDeletes() || !writer.readOtherReleases() || !writeFiles()
        || !(options.changelog.isEmpty() || writer.writeChangelog(options.changelog))
        || !(options.manifest.privateKey.isEmpty()
             || ManifestWriter::write(options.manifest, versionDir(), options.clientType, options.version.toULongLong(),
                                      ini, out, problems))
        || !writer.writeIni(ini, options.clientType, options.privateKey)) {
        return false;
    }
    // The manifest must verify under the keys the updaters carry, as they will check it.
    ReleaseVerifier verifier(versionDir(), options.privateKey, options.clientType, out, QString(),
                             !options.manifest.privateKey.isEmpty());
    if (verifier.verify() != ReleaseVerifier::Verified) {
        problems << QStringLiteral("the published release does not verify:") << verifier.errors();
        return false;
    }
    out << QStringLiteral("published %1 version %2 into %3\n").arg(options.clientType, options.version, versionDir());
    ProductIni previous;
    QStringList unused; // read and checked before anything was written
    if (!options.previousIni.isEmpty() && ProductIni::read(options.previousIni, previous, unused))
        out << ReleaseSummary(previous, ini).text() << '\n';
    return true;
}

bool ReleasePublisher::checkOptions()
{
    const auto refuse = [this](const QString &what, const QString &why) {
        if (!why.isEmpty())
            problems << what + QLatin1Char(' ') + why;
    };
    refuse(QStringLiteral("version %1").arg(options.version), ReleaseNames::checkVersion(options.version));
    refuse(QStringLiteral("client type %1").arg(options.clientType), ReleaseNames::checkClientType(options.clientType));
    refuse(QStringLiteral("section %1").arg(options.section), ReleaseNames::checkSection(options.section));
    if (!QFileInfo(options.releaseDir).isDir())
        problems << QStringLiteral("release directory %1 does not exist or is not a directory").arg(options.releaseDir);
    const QString keyProblem = KeyFile::check(options.privateKey, true);
    if (!keyProblem.isEmpty())
        problems << keyProblem;
    const QList<std::pair<QString, QString>> inputs{{QStringLiteral("--previous"), options.previousIni},
                                                    {QStringLiteral("--delete-list"), options.deleteList},
                                                    {QStringLiteral("--changelog"), options.changelog}};
    for (const auto &[option, path] : inputs) {
        if (!path.isEmpty() && (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable()))
            problems << QStringLiteral("%1 %2 does not exist or is unreadable").arg(option, path);
    }
    if (!options.manifest.privateKey.isEmpty())
        ManifestWriter::checkOptions(options.manifest, problems);
    tree.compilePatterns(problems);
    if (QFileInfo::exists(options.outDir) && !QFileInfo(options.outDir).isDir())
        problems << QStringLiteral("output directory %1 is not a directory").arg(options.outDir);
    if (!problems.isEmpty())
        return false;

    const QString ini = versionDir() + QLatin1Char('/') + options.clientType + QStringLiteral(".ini");
    if (QFileInfo::exists(ini)) {
        problems << QStringLiteral("%1 exists: version %2 of %3 is published already, and updaters may have fetched "
                                   "it; publish a new version")
                            .arg(ini, options.version, options.clientType);
    }
    const QString release = absoluteClean(options.releaseDir);
    const QString target = absoluteClean(versionDir());
    if (isWithin(target, release) || isWithin(release, target))
        problems << QStringLiteral("the release directory %1 and the version directory %2 overlap").arg(release, target);
    return problems.isEmpty();
}

bool ReleasePublisher::collectFiles()
{
    return tree.read(options.releaseDir, absoluteClean(options.releaseDir), options.section, problems);
}



bool ReleasePublisher::collectDeletes()
{
    QSet<QString> released;
    QSet<QString> releasedDirs;
    for (const ReleaseTree::SourceFile &file : std::as_const(tree.files)) {
        released << file.relative;
        for (qsizetype slash = file.relative.indexOf(QLatin1Char('/')); slash >= 0;
             slash = file.relative.indexOf(QLatin1Char('/'), slash + 1)) {
            releasedDirs << file.relative.left(slash);
        }
    }

    QStringList deletes;
    if (!options.previousIni.isEmpty()) {
        ProductIni previous;
        if (!ProductIni::read(options.previousIni, previous, problems))
            return false;
        // Obsolete paths of older releases stay listed, so that an installation which skipped the previous
        // release loses them as well; the updater ignores paths that do not exist.
        const QStringList paths = previous.installedPaths() + previous.deletePaths;
        for (const QString &path : paths) {
            if (released.contains(path) || releasedDirs.contains(path))
                continue;
            const QString why = ReleaseNames::checkPath(path);
            if (!why.isEmpty())
                problems << QStringLiteral("--previous %1: %2 %3").arg(options.previousIni, path, why);
            deletes << path;
        }
    }
    if (!options.deleteList.isEmpty() && !readDeleteList(released, releasedDirs, deletes))
        return false;

    deletes.removeDuplicates();
    deletes.sort();
    ini.deletePaths = deletes;
    return problems.isEmpty();
}

bool ReleasePublisher::readDeleteList(const QSet<QString> &released, const QSet<QString> &releasedDirs,
                                      QStringList &deletes)
{
    QFile list(options.deleteList);
    if (!list.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("--delete-list %1 cannot be read: %2").arg(options.deleteList, list.errorString());
        return false;
    }
    for (int lineNumber = 1; !list.atEnd(); ++lineNumber) {
        QByteArray line = list.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        // Bytes that are not UTF-8 become U+FFFD, which the name check refuses.
        const QString path = QString::fromUtf8(line);
        if (path.isEmpty() || path.startsWith(QLatin1Char('#')))
            continue;
        const QString where = QStringLiteral("%1:%2: %3").arg(options.deleteList).arg(lineNumber).arg(path);
        const QString why = ReleaseNames::checkPath(path);
        if (!why.isEmpty()) {
            problems << where + QLatin1Char(' ') + why;
        } else if (released.contains(path) || releasedDirs.contains(path)) {
            problems << where + QStringLiteral(" is part of the new release; the updater deletes obsolete files after "
                                               "installing, so it would remove it");
        } else {
            deletes << path;
        }
    }
    return problems.isEmpty();
}


bool ReleasePublisher::writeFiles()
{
    out << QStringLiteral("publishing %1 files of %2 into %3/%4\n")
                    .arg(tree.files.size())
                    .arg(options.releaseDir, versionDir(), options.section);
    qint64 totalBytes = 0;
    for (const ReleaseTree::SourceFile &file : std::as_const(tree.files))
        totalBytes += QFileInfo(file.path).size();
    PublishProgress progressLine(out, PublishProgress::standardOutputIsTerminal(), totalBytes);
    writer.setProgress(&progressLine);
    const auto endProgress = qScopeGuard([&] {
        progressLine.finish();
        writer.setProgress(nullptr);
    });
    int compressed = 0;
    for (const ReleaseTree::SourceFile &file : std::as_const(tree.files)) {
        ProductIni::Entry entry;
        if (!writer.writeFile(options.section, file, entry))
            return false;
        compressed += file.compress ? 1 : 0;
        ini.entries << entry;
    }
    progressLine.finish();
    out << QStringLiteral("%1 files written, %2 of them gzip-compressed; %3 obsolete paths listed\n")
                    .arg(tree.files.size())
                    .arg(compressed)
                    .arg(ini.deletePaths.size());
    if (writer.blockMapsWritten() > 0)
        out << QStringLiteral("%1 block maps written\n").arg(writer.blockMapsWritten());
    return true;
}
