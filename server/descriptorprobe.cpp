#include "server/descriptorprobe.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

bool DescriptorProbe::hasFree(int openDescriptor, int count)
{
    std::vector<int> taken;
    taken.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        const int fd = ::fcntl(openDescriptor, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            break;
        taken.push_back(fd);
    }
    const bool enough = int(taken.size()) == count;
    for (int fd : taken)
        ::close(fd);
    return enough;
}
