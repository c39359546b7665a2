// Setting the engine up for a test: the list of upstream entries, the listener on a free port,
// sessions started straight on a socket, and waiting for sessions to end. Call from the test's
// own thread; failures show in the return values.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "LoopbackSocket.h"
#include "config/Proxydata.h"

namespace testsupport {

// An entry for an upstream server on 127.0.0.1.
ProxyData entryFor(const std::string& domain, int port, std::int32_t method,
                   const std::string& user = "user", const std::string& password = "secret");
// Replaces the global list with `entries`, numbered in their order.
void setEntries(const std::vector<ProxyData>& entries);

// Opens the engine's listener on 127.0.0.1 and a free port and starts it; gives the port, or -1.
int startEngineOnFreePort();
// Connects a client over loopback to a new sub task (without the listener); gives the client's
// socket, or -1.
int startSession();

// Waits until `count` sub tasks run; false when the time ran out.
bool waitForActiveSessions(int count, std::chrono::milliseconds timeout = kIoTimeout);
// Waits until no sub task runs.
inline bool waitForSessionsToEnd(std::chrono::milliseconds timeout = kIoTimeout) {
    return waitForActiveSessions(0, timeout);
}

} // namespace testsupport
