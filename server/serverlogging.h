#pragma once

#include <QLoggingCategory>

// The server module's diagnostics, as "vx.server": QT_LOGGING_RULES="vx.server.debug=false" quiets
// them.
Q_DECLARE_LOGGING_CATEGORY(lcServer)
