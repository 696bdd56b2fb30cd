#include "service/handlerthread.h"

HandlerThread::HandlerThread(const QString &serviceName, quint32 acceptedControls,
                             std::function<void(int code)> deliver)
    : m_service_name(serviceName), m_platform(QtServicePlatform::create()),
      m_state(*m_platform, acceptedControls, std::move(deliver))
{
}

void HandlerThread::run()
{
    if (!m_platform->startedByManager(m_service_name)) {
        m_start_up = StartUp::NotStartedByManager;
    } else if (m_platform->dispatch(m_service_name, &m_state)) {
        return;
    } else {
        m_start_up = StartUp::Failed;
        m_error = m_platform->errorString();
    }
    m_state.cancelStartUp();
}
