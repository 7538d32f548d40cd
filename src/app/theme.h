#pragma once

#include <QString>

// The window-wide style sheet for the light (false) or the dark (true) palette.
QString themeStyleSheet(bool dark);
