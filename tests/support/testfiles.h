#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// What tests put on disk and read back. A failed write is reported, never ignored, so that a test
// cannot pass for a file it never managed to lay out.

// Writes content to path, creating the missing directories; false when any of it failed.
bool writeFile(const QString &path, const QByteArray &content);
// Writes every file of tree (relative path -> content) below dir; false when any of it failed.
bool writeTree(const QString &dir, const QMap<QString, QByteArray> &tree);
// The file's content; whenMissing when it cannot be read, so that by default a comparison tells a
// missing file from an empty one.
QByteArray readFile(const QString &path, const QByteArray &whenMissing = QByteArrayLiteral("<missing>"));
// Lower-case hexadecimal MD5, as the product ini writes it.
QByteArray md5Hex(const QByteArray &data);
// size bytes that look random and are the same for the same seed.
QByteArray randomBytes(qsizetype size, quint32 seed);
// data as a gzip stream, the form of a compressed file on a mirror.
QByteArray gzip(const QByteArray &data);
