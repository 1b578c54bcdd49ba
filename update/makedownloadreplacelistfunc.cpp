#include "update/makedownloadreplacelistfunc.h"

#include "app/configuration.h"
#include "net/checksigfunc.h"
#include "update/filespecifications.h"
#include "update/productini.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration *configuration,
                                                         FileSpecifications &result)
    : configuration(configuration), result(result)
{
}

bool MakeDownloadReplaceListFunc::run()
{
    result.clear();
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
    int done = 0;
    for (const ProductIni::Line &line : lines) {
        ++done;
        emit progress(qreal(done) / total);
        if (!(line.isDelete() ? addDeleteLine(line, root) : addFileLine(line, root))) {
            invalidLine(line.section);
            return false;
        }
    }
    return true;
}

// The product ini comes from the network: a path in it must neither climb out of base nor reach outside
// through a symbolic link to a directory, or a hostile ini could write or delete anywhere the user can.
bool MakeDownloadReplaceListFunc::isInside(const QString &base, const QString &relativePath)
{
    const QString path = QString(relativePath).replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.isEmpty() || QDir::isAbsolutePath(path) || path.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return false;
    const QString canonicalBase = QFileInfo(base).canonicalFilePath();
    if (canonicalBase.isEmpty())
        return false;
    // The entry itself may be a link (it is renamed or removed, never followed), and may not exist yet;
    // what matters is where its nearest existing parent directory really lies.
    QFileInfo parent(QFileInfo(QDir::cleanPath(base + QLatin1Char('/') + path)).path());
    while (!parent.exists())
        parent.setFile(parent.path());
    const QString resolved = parent.canonicalFilePath();
    return resolved == canonicalBase || resolved.startsWith(canonicalBase + QLatin1Char('/'));
}

// Runs the signature check here on the worker thread; its messages are of no interest to the compiler.
bool MakeDownloadReplaceListFunc::hasMd5(const QString &path, const QString &md5)
{
    if (!QFileInfo::exists(path))
        return false;
    CheckSigFunc check(path, md5);
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

bool MakeDownloadReplaceListFunc::addFileLine(const ProductIni::Line &line, const QString &root)
{
    if (!line.hasValidFieldCount())
        return false;
    const QStringList &fields = line.fields;
    const FileDownloadSpecification download(line.section, line.key, fields.at(0), fields.at(1).toULongLong());
    const FileReplaceSpecification replace = fields.size() == 5
        ? FileReplaceSpecification(line.section, line.key, fields.at(2), fields.at(3).toULongLong(), fields.at(4))
        : FileReplaceSpecification(line.section, line.key, QString(), 0, QString());
    if (!isInside(configuration->tempDir, line.key) || !isInside(root, replace.pureDestFilePath()))
        return false;

    const QString installedMd5 = replace.hasUnzip() ? replace.unzipMd5 : download.md5;
    if (hasMd5(root + QLatin1Char('/') + replace.pureDestFilePath(), installedMd5))
        return true;
    result.replaceList.append(replace);
    if (!hasMd5(configuration->tempDir + QLatin1Char('/') + line.key, download.md5))
        result.downloadList.append(download);
    return true;
}
