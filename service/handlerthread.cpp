#include "service/handlerthread.h"

#include "service/qtserviceruntimestate.h"

HandlerThread::HandlerThread(QtServiceRuntimeState *state, const QString &serviceName)
    : m_state(state), m_service_name(serviceName)
{
}

void HandlerThread::run()
{
    QString error;
    const auto result = QtServicePlatform::instance()->dispatch(m_service_name, this, &error);
    if (result == QtServicePlatform::DispatchResult::Finished)
        return;
    dispatcherOk = false;
    if (result == QtServicePlatform::DispatchResult::NotStartedByManager) {
        fromConsole = true;
    } else if (QtServiceBase *service = QtServiceBase::instance()) {
        service->logMessage(QStringLiteral("The Service failed to start [%1]").arg(error),
                            QtServiceBase::Error, 0, 0, QByteArray());
    }
    m_state->argumentsReady.release();
}

void HandlerThread::serviceEntry(const QStringList &arguments)
{
    QtServiceRuntimeState::serviceEntry(arguments);
}

bool HandlerThread::controlHandler(int code)
{
    return QtServiceRuntimeState::controlHandler(code);
}
