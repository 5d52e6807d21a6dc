// IdYarn: the scheduler's handle for one unit of work. The base carries
// nothing; a scheduler derives its own kind (one yarn per worker thread)
// and the thread that runs the work owns the yarn.
#pragma once

class TIdYarn {
public:
    TIdYarn() = default;
    TIdYarn(const TIdYarn&) = delete;
    TIdYarn& operator=(const TIdYarn&) = delete;
    virtual ~TIdYarn() = default;
};
