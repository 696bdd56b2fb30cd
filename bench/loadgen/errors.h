#pragma once

#include <string>

// What went wrong during a load: how often, and the first reason, which is usually the cause of
// the rest.
struct Errors
{
    long count = 0;
    std::string first;

    void add(const std::string &why)
    {
        ++count;
        if (first.empty())
            first = why;
    }
};
