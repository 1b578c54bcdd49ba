#include "net/mirrors.h"

#include <QDateTime>
#include <QSettings>

#include <algorithm>

namespace {

// Base URL, "/" and the version: the directory of the release on the mirror.
QString effectiveUrl(QString url, const QString &version)
{
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + version;
}

} // namespace

Mirrors::Mirrors(QObject *parent)
    : QObject(parent)
    , random(quint32(QDateTime::currentSecsSinceEpoch()))
{
}

void Mirrors::seedRandom(quint32 seed)
{
    random.seed(seed);
}

bool Mirrors::initDefault(const QString &mirrorsIniPath, int clientVersion)
{
    QSettings settings(mirrorsIniPath, QSettings::IniFormat);
    const int size = settings.beginReadArray(QStringLiteral("mirrors"));
    // "size" is only a claim (size=100000000 is 25 bytes); the work is bounded by the entries the file
    // holds, taken in their numeric order up to the claimed size. A number without an entry is no mirror.
    QList<int> numbers;
    for (const QString &group : settings.childGroups()) {
        bool isNumber = false;
        const int number = group.toInt(&isNumber);
        if (isNumber && number >= 1 && number <= size && group == QString::number(number))
            numbers.append(number);
    }
    std::sort(numbers.begin(), numbers.end());
    for (const int number : std::as_const(numbers)) {
        settings.setArrayIndex(number - 1);
        FTPSiteAccessData mirror;
        mirror.name = settings.value(QStringLiteral("mirror")).toString();
        mirrorList.append(mirror);
    }
    settings.endArray();
    setDefaults(settings, clientVersion);
    // An empty list is not an error here: the first download that asks for a mirror reports it.
    return true;
}

bool Mirrors::initAlpha(const QString &updateIniPath, int clientVersion)
{
    QSettings settings(updateIniPath, QSettings::IniFormat);
    const QString url = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (url.isEmpty()) {
        emit fatalError(QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("Alpha Channel");
    mirror.url = effectiveUrl(url, QString::number(clientVersion));
    mirror.retries = 4;
    mirrorList.append(mirror);
    return true;
}

void Mirrors::setDefaults(QSettings &settings, int clientVersion)
{
    const QString version = QString::number(clientVersion);
    for (FTPSiteAccessData &mirror : mirrorList) {
        settings.beginGroup(mirror.name);
        const QString url = settings.value(QStringLiteral("url")).toString();
        if (url.left(7).toUpper() == QLatin1String("HTTP://")
                || url.left(8).toUpper() == QLatin1String("HTTPS://")) {
            mirror.maxUses = 3;
        }
        mirror.url = effectiveUrl(url, version);
        // Not a number, 0, or too large for an int all end up below 1.
        mirror.retries = int(settings.value(QStringLiteral("retries"), 2).toUInt());
        if (mirror.retries < 1)
            mirror.retries = 2;
        settings.endGroup();
    }
}

int Mirrors::getRandomMirror(FTPSiteAccessData &out, const QSet<QString> &skip)
{
    const auto drawable = [&skip](const FTPSiteAccessData &mirror) { return !skip.contains(mirror.name); };
    if (std::none_of(mirrorList.cbegin(), mirrorList.cend(), drawable)) {
        if (!noMirrorsReported) {
            emit message(tr("There are no (more) known working mirrors available"));
            noMirrorsReported = true;
        }
        return NoMirrorAvailable;
    }

    int totalSlots = 0;
    int usedSlots = 0;
    for (const FTPSiteAccessData &mirror : std::as_const(mirrorList)) {
        if (drawable(mirror)) {
            totalSlots += mirror.maxUses;
            usedSlots += mirror.useCount;
        }
    }
    if (usedSlots >= totalSlots)
        return AllMirrorsBusy;

    // Each mirror's chance is its share of the free slots.
    qint64 draw = random.generate() % quint32(totalSlots - usedSlots);
    for (FTPSiteAccessData &mirror : mirrorList) {
        if (!drawable(mirror))
            continue;
        draw -= mirror.maxUses - mirror.useCount;
        if (draw < 0) {
            ++mirror.useCount;
            out = mirror;
            return MirrorChosen;
        }
    }
    return NoMirrorAvailable;
}

void Mirrors::releaseMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        --mirrorList[index].useCount;
}

void Mirrors::addMirrorError(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData &mirror = mirrorList[index];
    if (++mirror.errorCount > mirror.retries) {
        emit message(tr("Mirror %1 failed too many times, removing").arg(name));
        mirrorList.remove(index);
    }
}

void Mirrors::removeMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        mirrorList.remove(index);
}

void Mirrors::calcUseStats(int &totalSlots, int &usedSlots) const
{
    totalSlots = 0;
    usedSlots = 0;
    for (const FTPSiteAccessData &mirror : mirrorList) {
        totalSlots += mirror.maxUses;
        usedSlots += mirror.useCount;
    }
}

int Mirrors::getMirrorIndex(const QString &name) const
{
    for (int i = 0; i < mirrorList.size(); ++i) {
        if (mirrorList.at(i).name == name)
            return i;
    }
    return -1;
}
