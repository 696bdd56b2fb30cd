#pragma once

#include <QLoggingCategory>

// The http module's diagnostics, as "vx.http": QT_LOGGING_RULES="vx.http.debug=false" quiets them.
Q_DECLARE_LOGGING_CATEGORY(lcHttp)
