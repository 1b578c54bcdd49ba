#include "releasetree.h"

#include "releasenames.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <dirent.h>

#include <algorithm>
#include <memory>

ReleaseTree::ReleaseTree(const QStringList &patterns, qint64 gzipAbove) : patterns(patterns), gzipAbove(gzipAbove) {}

bool ReleaseTree::compilePatterns(QStringList &problems)
{
    bool usable = true;
    for (const QString &pattern : std::as_const(patterns)) {
        const QRegularExpression expression = QRegularExpression::fromWildcard(pattern, Qt::CaseSensitive);
        if (pattern.isEmpty() || !expression.isValid()) {
            problems << QStringLiteral("--gzip %1 is not a usable pattern").arg(pattern);
            usable = false;
        }
        expressions << expression;
    }
    return usable;
}

QString ReleaseTree::mirrorKey(const SourceFile &file)
{
    return file.compress ? file.relative + QStringLiteral(".gz") : file.relative;
}

bool ReleaseTree::read(const QString &releaseDir, const QString &resolvedDir, const QString &section,
                       QStringList &problems)
{
    const qsizetype problemsBefore = problems.size();
    readDirectory(QFile::encodeName(resolvedDir), QString(), problems);
    if (problems.size() == problemsBefore && files.isEmpty()) {
        problems << QStringLiteral("release directory %1 holds no files; the updater refuses a product ini without "
                                   "files")
                            .arg(releaseDir);
    }
    std::sort(files.begin(), files.end(),
              [](const SourceFile &a, const SourceFile &b) { return a.relative < b.relative; });

    // A compressed "a" lies on the mirror as "a.gz", where a file "a.gz" of the release would lie too.
    QHash<QString, QString> keys;
    for (const SourceFile &file : std::as_const(files)) {
        const QString key = mirrorKey(file);
        const auto other = keys.constFind(key);
        if (other != keys.constEnd())
            problems << QStringLiteral("%1 and %2 would both lie on the mirror as %3/%4").arg(*other, file.relative, section, key);
        keys.insert(key, file.relative);
    }
    return problems.size() == problemsBefore;
}

// Walks the raw byte names: QDir leaves out names that are not UTF-8, which would drop files silently.
void ReleaseTree::readDirectory(const QByteArray &path, const QString &relative, QStringList &problems)
{
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(path.constData()), &::closedir);
    if (!dir) {
        problems << QStringLiteral("cannot read the directory %1").arg(QFile::decodeName(path));
        return;
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray childPath = path + '/' + name;
        const QString childName = QString::fromUtf8(name);
        const QString childRelative = relative.isEmpty() ? childName : relative + QLatin1Char('/') + childName;
        if (childName.toUtf8() != name) {
            problems << QStringLiteral("%1: name is not valid UTF-8").arg(childRelative);
            continue;
        }
        const QFileInfo info(QFile::decodeName(childPath));
        if (info.isDir() && !info.isSymLink()) {
            readDirectory(childPath, childRelative, problems);
            continue;
        }
        const QString why = ReleaseNames::checkPath(childRelative);
        if (!why.isEmpty())
            problems << QStringLiteral("%1: file name %2").arg(childRelative, why);
        else if (info.isSymLink() && info.isDir())
            problems << QStringLiteral("%1: is a link to a directory; the updater installs files only").arg(childRelative);
        else if (!info.isFile())
            problems << QStringLiteral("%1: is not a regular file (or a link to nothing)").arg(childRelative);
        else if (!info.isReadable())
            problems << QStringLiteral("%1: cannot be read").arg(childRelative);
        else
            files << SourceFile{info.filePath(), childRelative, isSelectedForGzip(childRelative, info.size())};
    }
}

bool ReleaseTree::isSelectedForGzip(const QString &relative, qint64 size) const
{
    if (gzipAbove >= 0 && size > gzipAbove)
        return true;
    const QString name = relative.section(QLatin1Char('/'), -1);
    for (qsizetype i = 0; i < expressions.size(); ++i) {
        const bool onPath = patterns.at(i).contains(QLatin1Char('/'));
        if (expressions.at(i).match(onPath ? relative : name).hasMatch())
            return true;
    }
    return false;
}
