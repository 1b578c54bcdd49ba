#pragma once

#include "app/versionqueryretry.h"

// Asks the version query's Retry/Abort question in a critical message box without parent: the query runs
// before the window is shown.
class VersionQueryRetryBox : public VersionQueryRetry
{
public:
    bool retryVersionQuery() override;
};
