#pragma once

#include "update/productini.h"

#include <QString>

// What a release changes against the previous one, from the two product inis: the installed files
// added, changed (other content) and removed, and the bytes that an updater on the previous release
// downloads to reach the new one (the files as they lie on the mirror, compressed or not).
class ReleaseSummary
{
public:
    ReleaseSummary(const ProductIni &previous, const ProductIni &current);

    // "against the previous release: files added 3, changed 2, removed 1; an updater on it downloads
    // 1.20 MiB (1258291 bytes)"
    QString text() const;

    int added = 0;
    int changed = 0;
    int removed = 0;
    quint64 downloadBytes = 0;
};
