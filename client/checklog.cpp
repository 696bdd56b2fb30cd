#include "client/checklog.h"

Q_LOGGING_CATEGORY(lcCheck, "vx.check")
