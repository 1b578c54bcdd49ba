#pragma once

class ProcessTools
{
public:
    // Starts the client's start script from the installation and returns at once; the client outlives the
    // updater, and a failed start goes unreported.
    static void startMx4Client();
};
