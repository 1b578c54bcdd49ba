#pragma once

#include "tasks/filedigest.h"
#include "tasks/slowfileopfunc.h"

#include <optional>

class DigestPipeline;

// Unpacks a gzip file; a file that is not gzip-compressed is copied unchanged. An existing destination is
// replaced; on any failure no destination is left behind. Asked for sums, it takes them of the unpacked
// bytes as it writes them (on a second core where one is idle), so that the check after it need not read the
// file again.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnzipFunc(const QString &source, const QString &destination,
                  std::optional<FileDigest::Sums> sums = std::nullopt);
    bool run() override;

    static bool unzipFile(const QString &destination, const QString &source,
                          DigestPipeline *digest = nullptr);

signals:
    // Before the result of a successful run that was asked for sums.
    void unpacked(FileDigest digest);

private:
    std::optional<FileDigest::Sums> sums;
};
