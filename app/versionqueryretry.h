#pragma once

// What the configuration asks when the update server could not be queried for the latest version: query
// again, or give up. The question needs a user, so the layer that has one (the window's) answers it; the
// configuration only holds the pointer and never owns it.
class VersionQueryRetry
{
public:
    virtual ~VersionQueryRetry() = default;

    // Blocks until the answer is known; true queries again, false abandons the query.
    virtual bool retryVersionQuery() = 0;
};
