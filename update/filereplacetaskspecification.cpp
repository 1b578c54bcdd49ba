#include "update/filereplacetaskspecification.h"

#include "app/configuration.h"
#include "net/checksignaturetaskspecification.h"
#include "tasks/filedeletetaskspecification.h"
#include "tasks/filemovetaskspecification.h"
#include "tasks/filerenametaskspecification.h"
#include "tasks/fileunziptaskspecification.h"

#include <QFile>
#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::executableFiles = {
    QStringLiteral("mx4client_linux_x86"), QStringLiteral("mx4client_linux_amd64"),
    QStringLiteral("mx4client_runscript.sh"), QStringLiteral("update")};
const QStringList FileReplaceTaskSpecification::executableSuffixes = {QStringLiteral("so"),
                                                                      QStringLiteral("so.4")};

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification &specification,
                                                           QList<QString> *deleteList,
                                                           RollbackDataList *phaseRollbackList,
                                                           Configuration *configuration, QObject *parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent),
      specification(specification),
      deleteList(deleteList),
      phaseRollbackList(phaseRollbackList),
      configuration(configuration)
{
    releaseSubTasksWhenFinished = true;
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(specification.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    const QString source = configuration->tempDir + QLatin1Char('/') + specification.fileName;
    const QString target = root + specification.destFileName(QString());
    const QString parked = root + specification.oldDestFileName();

    double remaining = 1.0;
    if (QFileInfo::exists(target)) {
        if (QFileInfo::exists(parked)) {
            // Left over from an earlier update; it must go, or the rename below could not park the file.
            addSubTask(new FileDeleteTaskSpecification(true, parked, this, 0.1));
            remaining -= 0.1;
        }
        oldFileParked = true;
        addSubTask(new FileRenameTaskSpecification(target, parked, &rollbackList, this, 0.1));
        remaining -= 0.1;
    }
    if (specification.hasUnzip()) {
        auto unzip = new FileUnzipTaskSpecification(&rollbackList, source, target, this, remaining - 0.2);
        unzip->setDigestSums(specification.unzipSha256.isEmpty() ? FileDigest::Md5 : FileDigest::Md5AndSha256);
        addSubTask(unzip);
        auto check = new CheckSignatureTaskSpecification(target, specification.unzipMd5, true, this, 0.2);
        check->setExpectedSha256(specification.unzipSha256);
        // The unpacked bytes were hashed as they were written; the check compares that sum.
        connect(unzip, &TaskSpecification::finished, check,
                [check, unzip] { check->setKnownDigest(unzip->getUnpackedDigest()); });
        addSubTask(check);
    } else {
        // Moved, not copied, where it can be: the run removes its temporary directory anyway, and an undo
        // moves the file back there.
        addSubTask(new FileMoveTaskSpecification(&rollbackList, source, target, this, remaining));
    }
    state = StateRunning;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() == StateFinished) {
        // From now on only the phase can undo this file, should a later file fail.
        phaseRollbackList->appendList(rollbackList);
        // The running updater still uses its own files; those stay parked until its next start.
        if (oldFileParked
            && !configuration->isSpecialFileName(QFileInfo(specification.pureDestFilePath()).fileName()))
            deleteList->append(specification.oldDestFileName());
        makeSingleFileExecutable(Configuration::getAppRootPath() + QLatin1Char('/')
                                 + specification.destFileName(QString()));
    } else {
        rollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    rollbackList.rollback(this);
    oldFileParked = false;
    TaskSpecification::reset();
}

// Programs and libraries get 0755: executable for everyone, writable by the owner only, so that no other
// local user can replace the client or the updater.
void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    const QFileInfo info(path);
    if (!executableFiles.contains(info.fileName()) && !executableSuffixes.contains(info.completeSuffix()))
        return;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                    | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                    | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                    | QFileDevice::ReadOther | QFileDevice::ExeOther);
}
