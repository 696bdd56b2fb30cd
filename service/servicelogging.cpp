#include "service/servicelogging.h"

Q_LOGGING_CATEGORY(lcService, "vx.service")
