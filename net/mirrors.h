#pragma once

#include "net/ftpsiteaccessdata.h"

#include <QObject>
#include <QRandomGenerator>
#include <QSet>
#include <QVector>

class QSettings;

// The run's download servers. The update engine makes one Mirrors per run and fills it once; from then
// on download tasks draw mirrors from it, give their slots back and report errors, so the list only
// shrinks and its counters change. A dropped mirror stays dropped until the next run.
class Mirrors : public QObject
{
    Q_OBJECT
public:
    // Results of getRandomMirror().
    enum Choice {
        MirrorChosen = 0,      // the out-argument holds the chosen mirror; one of its slots is reserved
        NoMirrorAvailable = 1, // the list is empty
        AllMirrorsBusy = 2,    // every slot is taken; ask again when a download has ended
    };

    explicit Mirrors(QObject *parent = nullptr);

    bool initDefault(const QString &mirrorsIniPath, int clientVersion);
    bool initAlpha(const QString &updateIniPath, int clientVersion);
    void setDefaults(QSettings &settings, int clientVersion);

    // Mirrors named in skip are left out of the draw, as if they were not listed.
    int getRandomMirror(FTPSiteAccessData &out, const QSet<QString> &skip = {});
    void releaseMirror(const QString &name);
    void addMirrorError(const QString &name);
    void removeMirror(const QString &name);
    void calcUseStats(int &totalSlots, int &usedSlots) const;
    int getMirrorIndex(const QString &name) const;

    const QVector<FTPSiteAccessData> &getMirrorList() const { return mirrorList; }

    // The generator is seeded from the clock (seconds) when the object is made, that is once per run.
    // One draw takes one generate() of it; tests seed it to get repeatable choices.
    void seedRandom(quint32 seed);

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    QVector<FTPSiteAccessData> mirrorList;
    bool noMirrorsReported = false;
    QRandomGenerator random;
};
