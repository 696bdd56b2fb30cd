#pragma once

#include <QLoggingCategory>

// The net module's diagnostics, as "vx.net": QT_LOGGING_RULES="vx.net.debug=false" quiets them.
Q_DECLARE_LOGGING_CATEGORY(lcNet)
