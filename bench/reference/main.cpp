#include "responder.h"

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    char *end = nullptr;
    const long port = std::strtol(argv[1], &end, 10);
    if (*argv[1] == '\0' || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "vx-bench-reference: bad port '%s'\n", argv[1]);
        return 2;
    }
    // Every connection is a descriptor; take all the system allows us.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    Responder responder(static_cast<uint16_t>(port));
    if (!responder.listen())
        return 1;
    return responder.run();
}
