#include "EngineSetup.h"

#include "ProcessState.h"
#include "server/Server.h"

namespace testsupport {

ProxyData entryFor(const std::string& domain, int port, std::int32_t method,
                   const std::string& user, const std::string& password) {
    ProxyData entry;
    entry.Domain = domain;
    entry.SMTP = "127.0.0.1";
    entry.Method = method;
    entry.User = user;
    entry.Passwd = password;
    entry.Port = port;
    return entry;
}

void setEntries(const std::vector<ProxyData>& entries) {
    ProxyList.Clear();
    for (const ProxyData& entry : entries) {
        ProxyList.Add(entry);
    }
}

int startEngineOnFreePort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int port = freePort();
        if (port <= 0) {
            return -1;
        }
        // Another test may take the port between the probe and the open: try another.
        if (serverOpen("127.0.0.1", port)) {
            serverStart();
            return port;
        }
    }
    return -1;
}

int startSession() {
    int port = 0;
    const int listener = listenLoopback(&port);
    const int client = connectLoopback(port);
    const int accepted = acceptWithin(listener);
    closeSocketQuietly(listener);
    if (client < 0 || accepted < 0) {
        closeSocketQuietly(client);
        closeSocketQuietly(accepted);
        return -1;
    }
    startSubTask(accepted);
    return client;
}

bool waitForActiveSessions(int count, std::chrono::milliseconds timeout) {
    return waitUntil([count] { return activeSubTasks() == count; }, timeout);
}

} // namespace testsupport
