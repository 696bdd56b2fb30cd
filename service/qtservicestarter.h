#pragma once

#include <QObject>

class QtServiceBasePrivate;

// Calls the service's start() once the event loop of a foreground run is running.
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
