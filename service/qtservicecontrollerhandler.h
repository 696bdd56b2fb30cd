#pragma once

#include <QObject>

class QtServiceRuntimeState;

// Receives the control events on the main thread and hands them to the runtime state. Made on
// the main thread, so its events are delivered by the application's event loop.
class QtServiceControllerHandler : public QObject
{
    Q_OBJECT

public:
    explicit QtServiceControllerHandler(QtServiceRuntimeState *state);

protected:
    void customEvent(QEvent *event) override;

private:
    QtServiceRuntimeState *const m_state;
};
