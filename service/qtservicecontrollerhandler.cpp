#include "service/qtservicecontrollerhandler.h"

#include "service/qtserviceruntimestate.h"

QtServiceControllerHandler::QtServiceControllerHandler(QtServiceRuntimeState *state)
    : m_state(state)
{
}

void QtServiceControllerHandler::customEvent(QEvent *event)
{
    m_state->handleControlEvent(event);
}
