#include "service/qtservicestarter.h"

#include "service/qtservice_p.h"

QtServiceStarter::QtServiceStarter(QtServiceBasePrivate *service) : m_service(service) {}

void QtServiceStarter::slotStart()
{
    m_service->callStart();
}
