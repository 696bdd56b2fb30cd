#include "porttest/porttestlogging.h"

Q_LOGGING_CATEGORY(lcPortTest, "vx.porttest")
