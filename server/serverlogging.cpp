#include "serverlogging.h"

Q_LOGGING_CATEGORY(lcServer, "ferrow.server")
