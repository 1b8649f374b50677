#pragma once

#include <QStringList>

// The program's command line: export, import, backup, search and sync without a window or a
// display.

// Whether the arguments ask for the command line (--export, --import, --backup, --search, --sync,
// --help, -h and their variants) rather than the window.
bool isCommandLineInvocation(int argc, char **argv);

// Runs the command line with its own QCoreApplication; returns the process's exit code.
int runCommandLine(int argc, char **argv);

// The window takes no arguments of its own. Call after QApplication has removed Qt's options
// (-platform, -style …): anything left is refused with one line on standard error and the exit
// code 2 is returned; 0 when nothing is left.
int refuseWindowArguments(const QStringList &arguments);
