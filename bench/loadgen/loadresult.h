#pragma once

#include "errors.h"

#include <chrono>

// What every timed load reports: how much it got done inside the measured window, at what rate,
// and what went wrong.
struct LoadResult
{
    long done = 0;
    double per_second = 0;
    Errors errors;

    void setRate(std::chrono::milliseconds measure)
    {
        per_second = static_cast<double>(done) / std::chrono::duration<double>(measure).count();
    }
};
