// The mark by which a second start finds the running instance's main window: a per-user local
// socket server on InstanceSocketPath(), listening from MarkInstanceWindow to
// UnmarkInstanceWindow. A connection to it is the wake-up message.
//
// User-interface thread only. Marking may fail (the path unusable); the program then runs on
// unmarked and a second start wakes nobody, as when it starts during our early start-up.
#pragma once

class QLocalServer;

// Only the holder of the instance lock marks, so a socket file left by a crashed instance is
// removed first. Gives false when the server could not listen.
bool MarkInstanceWindow(QLocalServer& mark);
void UnmarkInstanceWindow(QLocalServer& mark);
