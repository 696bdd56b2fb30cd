#pragma once

#include <functional>

// The service object's own operations as the framework calls them. QtServiceBase hands them
// down, so that nothing below it has to call back into it.
struct QtServiceOperations
{
    std::function<void(int &argc, char **argv)> createApplication;
    std::function<int()> executeApplication;
    std::function<void()> start;
    std::function<void()> stop;
    std::function<void()> pause;
    std::function<void()> resume;
    std::function<void(int code)> processCommand;
};
