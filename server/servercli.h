#pragma once

#include <QStringList>

// The command line of ferrow-server: serving (the default) and the administration commands.
// Needs a QCoreApplication; returns the process exit code.
int runServerCli(const QStringList &arguments);
