#include "ui/versionqueryretrybox.h"

#include <QMessageBox>

bool VersionQueryRetryBox::retryVersionQuery()
{
    // Only Abort gives up; a box closed any other way asks the server again.
    const QMessageBox::StandardButton answer = QMessageBox::critical(
        nullptr, QObject::tr("Error"), QObject::tr("Failed to query latest client\nversion from update server."),
        QMessageBox::Retry | QMessageBox::Abort, QMessageBox::NoButton);
    return answer != QMessageBox::Abort;
}
