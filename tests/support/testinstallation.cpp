#include "support/testinstallation.h"

#include "app/configuration.h"

TestInstallation::TestInstallation()
{
    Configuration::setAppRootPathForTesting(path());
}

// A replacement is made before the installation it replaces goes away; it must keep the root.
TestInstallation::~TestInstallation()
{
    if (Configuration::getAppRootPath() == path())
        Configuration::setAppRootPathForTesting(QString());
}
