#include "update/manifestcheckfunc.h"

#include "net/manifestkeyring.h"
#include "update/productini.h"

#include <QFile>
#include <QSet>
#include <QSettings>

ManifestCheckFunc::ManifestCheckFunc(QString manifestPath, QString iniPath, ReleaseManifest::Expectation expected,
                                     QStringList retiredKeys, bool required, Result &result)
    : manifestPath(std::move(manifestPath))
    , iniPath(std::move(iniPath))
    , expected(std::move(expected))
    , retiredKeys(std::move(retiredKeys))
    , required(required)
    , result(result)
{
}

bool ManifestCheckFunc::run()
{
    result = Result();
    QFile file(manifestPath);
    if (!file.exists()) {
        if (required)
            return refuse(QStringLiteral("no mirror has a release manifest, and this updater requires one"));
        emit message(QStringLiteral("No release manifest for this release"));
        return true;
    }
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("%1 cannot be read: %2").arg(manifestPath, file.errorString()));
    // One byte over the limit is enough to tell an oversized file.
    const QString why = check(file.read(ReleaseManifest::MaxBytes + 1));
    if (!why.isEmpty())
        return refuse(why);
    result.present = true;
    emit message(QStringLiteral("Release manifest of version %1 accepted (key %2, expires %3)")
                         .arg(result.manifest.version)
                         .arg(result.manifest.signerId, ReleaseManifest::formatTime(result.manifest.expires)));
    return true;
}

QString ManifestCheckFunc::check(const QByteArray &text)
{
    QString why = ReleaseManifest::parse(text, result.manifest);
    if (!why.isEmpty())
        return why;
    ManifestKeyring ring = ManifestKeyring::builtIn();
    for (const QString &id : std::as_const(retiredKeys))
        ring.retire(id);
    why = result.manifest.verify(ring);
    if (why.isEmpty())
        why = result.manifest.refusal(expected);
    if (why.isEmpty())
        why = listsIniFiles();
    result.retiredKeys = ring.retiredIds();
    return why;
}

// Both files are signed, by different keys: only together do they say which bytes make up the release.
QString ManifestCheckFunc::listsIniFiles() const
{
    QSettings ini(iniPath, QSettings::IniFormat);
    QSet<QString> seen;
    for (const ProductIni::Line &line : ProductIni::lines(ini)) {
        if (line.isDelete() || !line.hasValidFieldCount())
            continue;
        const QString path = line.section + QLatin1Char('/') + line.key;
        const auto listed = result.manifest.files.constFind(path);
        if (listed == result.manifest.files.cend())
            return QStringLiteral("the release manifest does not list %1 of the product ini").arg(path);
        const bool compressed = line.fields.size() == 5 && !line.fields.at(4).isEmpty();
        if (listed->size != line.fields.at(1).toULongLong() || listed->compressed != compressed
            || (compressed && listed->unpackedSize != line.fields.at(3).toULongLong())) {
            return QStringLiteral("the release manifest and the product ini disagree on the size or the packing of %1")
                    .arg(path);
        }
        seen.insert(path);
    }
    for (auto file = result.manifest.files.cbegin(); file != result.manifest.files.cend(); ++file) {
        if (!seen.contains(file.key()))
            return QStringLiteral("the release manifest lists %1, which the product ini does not").arg(file.key());
    }
    return QString();
}

bool ManifestCheckFunc::refuse(const QString &why)
{
    emit message(QStringLiteral("Release manifest refused: %1").arg(why));
    return false;
}
