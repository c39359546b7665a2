// The SMTP proxy engine's entry points (used by the user interface and tests).
// The engine's internals are declared further down by the engine itself.
#pragma once

#include <cstdint>

// Opens the listening socket on `address` (dotted IPv4 or host name) and `port` (1..65535).
// Gives false when the address does not resolve, the port is out of range or cannot be bound.
bool serverOpen(const char* address, std::int32_t port);
// Starts the main task (the accept loop) on the opened socket.
void serverStart();
// Stops the main task and returns once it has ended (at once when none runs).
void serverStop();
// True while the main task's thread is alive.
bool serverIsRunning();
