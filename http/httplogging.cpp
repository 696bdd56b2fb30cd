#include "http/httplogging.h"

Q_LOGGING_CATEGORY(lcHttp, "vx.http")
