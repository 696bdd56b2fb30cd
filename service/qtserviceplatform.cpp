#include "service/qtserviceplatform.h"

// create() comes with the platform this system has (qtserviceplatform_systemd.cpp).

bool QtServicePlatform::fail(int errnoCode)
{
    return fail(qt_error_string(errnoCode));
}

bool QtServicePlatform::fail(const QString &reason)
{
    m_error = reason;
    return false;
}
