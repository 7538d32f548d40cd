#pragma once

#include <QIcon>

// The application's own icon, at every size the desktop asks for; the window and the tray
// show it.
QIcon appIcon();
