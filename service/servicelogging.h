#pragma once

#include <QLoggingCategory>

// The service module's diagnostics, as "vx.service": QT_LOGGING_RULES="vx.service.debug=false"
// quiets them.
Q_DECLARE_LOGGING_CATEGORY(lcService)
