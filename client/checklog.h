#pragma once

#include <QLoggingCategory>

// The tool's own diagnostics: --verbose shows them, while the port test's step-by-step trace
// (logged without a category) stays hidden.
Q_DECLARE_LOGGING_CATEGORY(lcCheck)
