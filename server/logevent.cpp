#include "server/logevent.h"

#include "service/qtservice.h"

void logEvent(const QString &message)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(message, QtServiceBase::Success);
}
