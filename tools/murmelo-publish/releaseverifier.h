#pragma once

#include <QStringList>

class FileDigest;
class QTextStream;

// Checks a published version directory the way the updater will: the signature of each product ini, its
// values, the names it carries, and every listed file's size and MD5 sum, for a gzip file also those of the
// decompressed content, and every block map beside a file against that file. Every problem is reported,
// not only the first.
class ReleaseVerifier
{
public:
    enum Result {
        Verified,
        Mismatch,  // the tree is not what an updater would accept
        BadInput   // the arguments do not name a usable directory or key
    };

    // Without a client type every product ini (*.ini) of the directory is checked. A release manifest beside
    // an ini is checked under the keys built in, or, when manifestKey names a key file, under that key
    // alone; with a manifest key or manifestRequired every ini must have one.
    ReleaseVerifier(const QString &versionDir, const QString &keyPath, const QString &clientType, QTextStream &out,
                    const QString &manifestKey = QString(), bool manifestRequired = false);

    Result verify();
    QStringList errors() const { return problems; }

private:
    void verifyIni(const QString &iniName);
    // False, with a problem added, unless a block map beside the file is absent or describes it exactly.
    bool checkBlockMap(const QString &iniName, const QString &relative, const FileDigest &file);

    QString versionDir;
    QString keyPath;
    QString clientType;
    QString manifestKey;
    bool manifestRequired;
    QTextStream &out;
    QStringList problems;
    int blockMaps = 0; // checked in the current ini
};
