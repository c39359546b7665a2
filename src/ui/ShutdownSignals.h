// The program's shutdown on session end: SIGTERM (sent to every process when the desktop session
// ends or a service manager stops us) and SIGINT (Ctrl+C in a terminal) run the same exit
// sequence as the tray menu's exit item, on the Qt event loop.
//
// Install once from the user-interface thread after QApplication exists. The signal handler only
// writes one byte to a pipe; `onSignal` runs later on the user-interface thread. If the pipe
// cannot be made the signals keep their default action.
#pragma once

#include <functional>

void InstallShutdownSignals(std::function<void()> onSignal);
