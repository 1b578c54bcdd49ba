#pragma once

#include "tasks/filecopytaskspecification.h"

// Puts a downloaded file into the installation by moving it there when the temporary directory and the
// installation share a file system: no byte is copied, and the file appears under its name complete, in
// one step, so a kill leaves it either still in the temporary directory or installed whole. Its undo
// moves it back, so that after a rollback the download is still there for a later run. Where it cannot
// move (another file system, or anything else the move refuses), it copies, with the copy's outcomes and
// messages. Like the copy, it never replaces an existing destination.
class FileMoveTaskSpecification : public FileCopyTaskSpecification
{
    Q_OBJECT
public:
    using FileCopyTaskSpecification::FileCopyTaskSpecification;

    // Ends inside this call when the move succeeds; otherwise goes on as the copy on the pool.
    void execute() override;
};
