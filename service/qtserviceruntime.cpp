// Until a service manager is wired in, the service cannot be started under one, cannot be
// installed, and events reach the debug log only.
#include "service/qtservice_p.h"

#include <QFileInfo>

bool QtServiceBasePrivate::startAsService()
{
    return false;
}

bool QtServiceBasePrivate::install(const QString &, const QString &)
{
    return false;
}

QString QtServiceBasePrivate::executablePath() const
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

void QtServiceBasePrivate::initRuntime() {}
void QtServiceBasePrivate::cleanupRuntime() {}
void QtServiceBasePrivate::updateAcceptedControls() {}

void QtServiceBasePrivate::reportEvent(const QString &, QtServiceBase::MessageType, int, uint,
                                       const QByteArray &)
{
}
