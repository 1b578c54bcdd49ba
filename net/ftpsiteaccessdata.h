#pragma once

#include <QString>

// One mirror as the run knows it. Download tasks hold a copy of the record they were given; the
// counters that matter live in the copy kept by Mirrors, which finds records by name.
struct FTPSiteAccessData
{
    QString name;         // as listed in mirrors.ini; "Alpha Channel" for the alpha mirror
    QString url;          // configured URL, "/" and the client version; no trailing "/"
    int retries = 0;      // errors tolerated; the one that makes errorCount exceed it removes the mirror
    int timeoutTicks = 15; // one-second ticks without data that a download on this mirror tolerates
    int errorCount = 0;
    int useCount = 0;     // downloads currently holding one of its slots
    int maxUses = 1;      // slots: 3 for http and https, 1 for anything else
};
