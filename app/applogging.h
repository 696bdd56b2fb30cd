#pragma once

#include <QLoggingCategory>

// The app module's diagnostics, as "vx.app": QT_LOGGING_RULES="vx.app.debug=false" quiets them.
Q_DECLARE_LOGGING_CATEGORY(lcApp)
