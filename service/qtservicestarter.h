#pragma once

#include <QObject>

class QtServiceBasePrivate;

// Calls the service's start() when its slot runs, such as from a timer once an event loop runs.
// (The framework's own foreground run queues start() on the application instead.)
class QtServiceStarter : public QObject
{
    Q_OBJECT

public:
    explicit QtServiceStarter(QtServiceBasePrivate *service);

public Q_SLOTS:
    void slotStart();

private:
    QtServiceBasePrivate *m_service;
};
