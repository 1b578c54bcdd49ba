#include "update/makedownloadreplacelistfunc.h"

#include "app/configuration.h"
#include "net/checksigfunc.h"
#include "update/filespecifications.h"
#include "tasks/parallelfor.h"
#include "update/productini.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <numeric>

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration *configuration,
                                                         FileSpecifications &result)
    : configuration(configuration), result(result)
{
}

bool MakeDownloadReplaceListFunc::run()
{
    result.clear();
    resolvedDirectories.clear();
    canonicalBases.clear();
    QSettings ini(configuration->tempDir + QLatin1Char('/') + configuration->clientType
                      + QStringLiteral(".ini"),
                  QSettings::IniFormat);
    emit message(QStringLiteral("Compiling download and replace list"));

    const QList<ProductIni::Line> lines = ProductIni::lines(ini);
    const int total = int(lines.size());
    if (total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }

    const QString root = Configuration::getAppRootPath();
    QList<Candidate> candidates;
    for (const ProductIni::Line &line : lines) {
        if (!(line.isDelete() ? addDeleteLine(line, root) : addFileLine(line, root, candidates))) {
            invalidLine(line.section);
            return false;
        }
    }

    // The installed files are hashed on all cores, the largest first: one left for last would keep a single
    // core busy while the others idle. The lists keep the order of the product ini.
    QList<qsizetype> order(candidates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&candidates](qsizetype a, qsizetype b) {
        return candidates.at(a).installedSize() > candidates.at(b).installedSize();
    });
    std::atomic<int> done{int(lines.size() - candidates.size())};
    const Qt::HANDLE compilerThread = QThread::currentThreadId();
    parallelFor(order.size(), [&](qsizetype next) {
        checkCandidate(candidates[order.at(next)], root);
        const int finished = ++done;
        // Reports leave from the compiler's own thread only.
        if (QThread::currentThreadId() == compilerThread)
            emit progress(qreal(finished) / total);
    });
    for (const Candidate &candidate : std::as_const(candidates)) {
        if (candidate.installed)
            continue;
        result.replaceList.append(candidate.replace);
        if (!candidate.downloaded)
            result.downloadList.append(candidate.download);
    }
    emit progress(1.0);
    return true;
}

// The product ini comes from the network: a path in it must neither climb out of base nor reach outside
// through a symbolic link to a directory, or a hostile ini could write or delete anywhere the user can.
bool MakeDownloadReplaceListFunc::isInside(const QString &base, const QString &relativePath)
{
    const QString path = QString(relativePath).replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.isEmpty() || QDir::isAbsolutePath(path) || path.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return false;
    auto canonicalBase = canonicalBases.constFind(base);
    if (canonicalBase == canonicalBases.cend())
        canonicalBase = canonicalBases.insert(base, QFileInfo(base).canonicalFilePath());
    if (canonicalBase->isEmpty())
        return false;
    // The entry itself may be a link (it is renamed or removed, never followed), and may not exist yet;
    // what matters is where its nearest existing parent directory really lies.
    const QString resolved = resolvedDirectory(QFileInfo(QDir::cleanPath(base + QLatin1Char('/') + path)).path());
    return resolved == *canonicalBase || resolved.startsWith(*canonicalBase + QLatin1Char('/'));
}

QString MakeDownloadReplaceListFunc::resolvedDirectory(const QString &dir)
{
    auto resolved = resolvedDirectories.constFind(dir);
    if (resolved == resolvedDirectories.cend()) {
        QFileInfo existing(dir);
        while (!existing.exists())
            existing.setFile(existing.path());
        resolved = resolvedDirectories.insert(dir, existing.canonicalFilePath());
    }
    return *resolved;
}

// Runs the signature check here on the worker thread; its messages are of no interest to the compiler.
bool MakeDownloadReplaceListFunc::hasSums(const QString &path, const QString &md5, const QString &sha256)
{
    if (!QFileInfo::exists(path))
        return false;
    CheckSigFunc check(path, md5);
    check.setExpectedSha256(sha256);
    return check.run();
}

void MakeDownloadReplaceListFunc::invalidLine(const QString &section)
{
    emit message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section));
}

bool MakeDownloadReplaceListFunc::addDeleteLine(const ProductIni::Line &line, const QString &root)
{
    if (!isInside(root, line.key))
        return false;
    if (QFileInfo::exists(root + QLatin1Char('/') + line.key))
        result.deleteList.append(line.key);
    return true;
}

bool MakeDownloadReplaceListFunc::addFileLine(const ProductIni::Line &line, const QString &root,
                                              QList<Candidate> &candidates)
{
    if (!line.hasValidFieldCount())
        return false;
    const QStringList &fields = line.fields;
    FileDownloadSpecification download(line.section, line.key, fields.at(0), fields.at(1).toULongLong());
    FileReplaceSpecification replace = fields.size() == 5
        ? FileReplaceSpecification(line.section, line.key, fields.at(2), fields.at(3).toULongLong(), fields.at(4))
        : FileReplaceSpecification(line.section, line.key, QString(), 0, QString());
    // The product-ini phase made sure that an accepted manifest lists every file of the ini.
    const auto listed = manifestFiles.constFind(line.section + QLatin1Char('/') + line.key);
    if (listed != manifestFiles.cend()) {
        download.sha256 = listed->sha256;
        replace.unzipSha256 = listed->unpackedSha256;
    }
    download.compressed = replace.hasUnzip();
    if (!isInside(configuration->tempDir, line.key) || !isInside(root, replace.pureDestFilePath()))
        return false;
    candidates.append(Candidate{download, replace});
    return true;
}

// On any thread of the pool: reads the files, writes only into candidate.
void MakeDownloadReplaceListFunc::checkCandidate(Candidate &candidate, const QString &root) const
{
    const bool unzip = candidate.replace.hasUnzip();
    const QString installedPath = root + QLatin1Char('/') + candidate.replace.pureDestFilePath();
    // An installed file of another length than the listed one has changed, and is not read: most big files
    // that change also change their length, and hashing them cost a whole pass before any download began.
    const quint64 listedSize = candidate.installedSize();
    candidate.installed = (listedSize == 0 || QFileInfo(installedPath).size() == qint64(listedSize))
            && hasSums(installedPath, unzip ? candidate.replace.unzipMd5 : candidate.download.md5,
                       unzip ? candidate.replace.unzipSha256 : candidate.download.sha256);
    if (candidate.installed)
        return;
    // A copy of another size cannot have the sum, and is not read: a shorter one stays listed, and its
    // download goes on from its size.
    const QString copy = configuration->tempDir + QLatin1Char('/') + candidate.download.fileName;
    if (candidate.download.size > 0)
        candidate.download.onDisk = QFileInfo(copy).size();
    candidate.downloaded = (candidate.download.size == 0 || candidate.download.onDisk == qint64(candidate.download.size))
            && hasSums(copy, candidate.download.md5, candidate.download.sha256);
}
