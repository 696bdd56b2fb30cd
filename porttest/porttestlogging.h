#pragma once

#include <QLoggingCategory>

// The porttest module's diagnostics, as "vx.porttest": QT_LOGGING_RULES="vx.porttest.debug=false"
// quiets them.
Q_DECLARE_LOGGING_CATEGORY(lcPortTest)
