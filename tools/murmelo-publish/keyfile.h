#pragma once

#include <QString>

// Checks a key file before any work depends on it, so that a wrong file fails at once with its name.
class KeyFile
{
public:
    // Empty when the file holds a usable RSA key (a private one when needPrivate), else why not.
    static QString check(const QString &path, bool needPrivate);
};
