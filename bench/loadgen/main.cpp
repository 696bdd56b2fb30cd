#include "bench.h"
#include "options.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fputs(error.c_str(), stderr);
        return 2;
    }
    // A server that closes under us must show up as an error, not end the generator.
    std::signal(SIGPIPE, SIG_IGN);
    Bench bench(options);
    return bench.run();
}
