#include "service/qtserviceplatform.h"

#include "service/qtserviceplatform_systemd.h"

QtServicePlatform *QtServicePlatform::instance()
{
    // Made once, on first use from whichever thread comes first (C++ guarantees the static
    // is initialised exactly once), and kept until the process ends.
    static QtServicePlatformSystemd platform;
    return &platform;
}
