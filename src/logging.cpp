#include "logging.h"

Q_LOGGING_CATEGORY(lcNet, "ferrow.net")
Q_LOGGING_CATEGORY(lcUi, "ferrow.ui")
