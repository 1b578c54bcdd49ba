#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QString>

#include <optional>

// A client release laid out as a mirror serves it: <root>/<version>/<clientType>.ini, its ".sig"
// made with the demo key that the updater has built in by default, and the files below their section
// directories. Tests describe the release, write() puts it on disk, and an HttpTestServer serving
// <root> plays the mirror.
class TestRelease
{
public:
    static const QString DefaultClientType;

    TestRelease(const QString &root, int version, const QString &clientType = DefaultClientType);

    void addFile(const QString &section, const QString &name, const QByteArray &content);
    // Shipped gzip-compressed as name, installed as installName. A non-empty unpackedMd5 replaces the
    // correct sum in the product ini.
    void addGzipFile(const QString &section, const QString &name, const QString &installName,
                     const QByteArray &content, const QByteArray &unpackedMd5 = {});
    void addDelete(const QString &path);

    // What write() also puts beside the product ini as its release manifest, and how it deviates from the
    // release; without setManifest() no manifest is written.
    struct Manifest
    {
        QString key = QStringLiteral("keys/demo/manifest-private.key"); // below the source tree
        quint64 version = 0;    // 0: the release's
        QString clientType;     // empty: the release's
        QString channel = QStringLiteral("stable");
        QDateTime expires;      // invalid: a day from now
        QList<QByteArray> rotationLines;
        QHash<QString, QString> sha256; // "<section>/<name>" -> the sum to list instead of the right one
        QHash<QString, QString> unpackedSha256;
        QStringList omitted;    // "<section>/<name>" left out
    };
    void setManifest(const Manifest &manifest);
    QString manifestPath() const;
    QString manifestUrlPath() const;

    // Writes the files, the product ini and its signature; false on any failure.
    bool write() const;

    QString versionDir() const;
    QString iniPath() const;
    // URL path of a release file as the mirror sees it: "/<version>/<section>/<name>".
    QString urlPath(const QString &section, const QString &name) const;

private:
    struct Entry {
        QString section;
        QString name;
        QByteArray shipped;     // as it lies on the mirror
        QString installName;    // empty unless gzip-compressed
        QByteArray unpackedMd5;
        qint64 unpackedSize;
        QByteArray unpacked = {}; // the content of a gzip-compressed file
    };

    QString root;
    int version;
    QString clientType;
    QList<Entry> entries;
    QStringList deletes;
    std::optional<Manifest> manifest;

    bool writeManifest() const;
};
