#pragma once

#include <QString>

// Writes one event of the control server to the running service's own log (beside the debug
// log); without a running service, nowhere.
void logEvent(const QString &message);
