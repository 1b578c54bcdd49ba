#pragma once

#include <QString>

// The rules for every name that goes into a product ini or onto a mirror: what the INI reader, the
// updater's download URL and its installer carry unchanged. Each check returns an empty string when the
// name is fine, otherwise why it is not.
class ReleaseNames
{
public:
    // A path relative to the installation or to a mirror directory, "/" between components.
    static QString checkPath(const QString &path);
    // A product-ini section: one mirror directory below the version directory.
    static QString checkSection(const QString &section);
    // The client type names the product ini file.
    static QString checkClientType(const QString &clientType);
    // A version is a directory on the mirrors and the updater formats it as a decimal int.
    static QString checkVersion(const QString &version);

private:
    static QString checkCharacters(const QString &name);
};
