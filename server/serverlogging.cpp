#include "server/serverlogging.h"

Q_LOGGING_CATEGORY(lcServer, "vx.server")
