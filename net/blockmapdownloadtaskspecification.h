#pragma once

#include "net/ftpsiteaccessdata.h"
#include "tasks/blockmap.h"
#include "tasks/taskspecification.h"

#include <QByteArray>

#include <memory>

class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches the block map of one release file from a mirror. Maps are optional and unsigned: a missing
// one, any status but 200, a network error, a time-out, more bytes than a map of the file can have, or a
// map that does not parse or does not describe the file's size and MD5 all end the same way, with the
// task finished and no map, and none of them counts against the mirror. Only a cancel ends it otherwise.
class BlockMapDownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // filePath: the file's path below the mirror's version URL; file: its size and MD5 from the product ini.
    BlockMapDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors, const QString &filePath,
                                      const FileDigest &file, QObject *parent, double parentProgressRange);

    // The most bytes a map of a file of this size can have, whatever its block size.
    static qint64 maxMapSize(quint64 fileSize);

    void execute() override;
    void reset() override;
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // Once finished: the map, or null when there is none to use.
    std::shared_ptr<const BlockMap> getMap() const { return map; }
    qint64 getReceived() const { return data.size(); }

private slots:
    void onReadyRead();
    void onFinished();
    void onOtherDownloadFinished();

private:
    void start();
    void noMap(const QString &why);
    void stop();

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    QString remotePath;
    FileDigest file;
    FTPSiteAccessData mirror;
    bool slotHeld = false;
    QNetworkReply *reply = nullptr;
    QByteArray data;
    qint64 lastReceived = 0;
    int idleTicks = 0;
    std::shared_ptr<const BlockMap> map;
};
