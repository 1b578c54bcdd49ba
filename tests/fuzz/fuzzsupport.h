#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// The part every fuzz target shares: the toolkit's application object, made once per process on the
// offscreen platform, and a fresh scratch directory per input.
namespace FuzzSupport {
void initApplication(int *argc, char ***argv, bool widgets);
}

// The directory for one input, emptied when the input is done. QSettings keeps what it read of a path
// and reads it again only when its size or modification time changed, so every file written here gets a
// modification time no earlier file had.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const QString &path() const { return dir; }
    // Writes the bytes to name (relative, parents made) and returns the file's full path.
    QString write(const QString &name, const uint8_t *data, size_t size) const;

private:
    QString dir;
};
