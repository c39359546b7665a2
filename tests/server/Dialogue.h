// A table-driven dialogue: a mail client's exchanges with the proxy against a scripted upstream
// server, checked byte for byte on both sides.
#pragma once

#include <string>
#include <vector>

#include "ScriptedServer.h"

namespace testnet {

// The client sends `send` (nothing when empty), then must receive exactly `expect`.
struct Exchange {
    std::string send;
    std::string expect;
};

struct DialogueRow {
    std::string name;
    std::int32_t method = MethodLogin;
    // Upstream script; when empty the entry points at a closed port.
    std::vector<Step> server;
    // The proxy's greeting is checked before these.
    std::vector<Exchange> client;
    std::string user = "user";
    std::string password = "secret";
    std::string domain = "example.com";
};

// Plays the row: after its exchanges the proxy must close the client's connection without
// sending more; the server must have received exactly the lines its script expects; the
// session must end.
void runDialogue(const DialogueRow& row);

// Common pieces of upstream scripts.
std::vector<Step> concat(std::initializer_list<std::vector<Step>> parts);
// The server asks for QUIT, answers 221 and closes: the relay ends.
std::vector<Step> serverQuit();
inline Exchange clientQuit() {
    return {"QUIT\r\n", "221 bye\r\n"};
}

} // namespace testnet
