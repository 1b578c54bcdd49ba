#include "app/processtools.h"

#include "app/configuration.h"

#include <QProcess>

void ProcessTools::startMx4Client()
{
    // The whole path is the program, so an installation directory with blanks is not split apart.
    const QString script = Configuration::getAppRootPath() + QLatin1Char('/') + Configuration::getClientBinaryName();
    QProcess::startDetached(script, QStringList());
}
