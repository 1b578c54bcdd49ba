#pragma once

#include <QTemporaryDir>

// A temporary directory standing in for the installation: while it exists,
// Configuration::getAppRootPath() names it, so that update.ini, mirrors.ini and the installed files a
// test works on stay inside it. A test that needs a fresh one per test function replaces it in init().
class TestInstallation : public QTemporaryDir
{
public:
    TestInstallation();
    ~TestInstallation();
};
