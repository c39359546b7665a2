// The upstream server's side of a session under arbitrary bytes, at every step of the login for
// every method (AUTO and an unknown code included) and in the relay: the session ends in bounded
// time once the server's bytes run out, closes both sockets, leaves no descriptor behind, and
// the trace never shows the password, its Base64 form or the AUTH PLAIN payload.
//
// Input: byte 0 picks the method, byte 1 the hand-over (EHLO or HELO + MAIL FROM); the rest is
// everything the upstream server sends, from its greeting on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "AuthText.h"
#include "FuzzCheck.h"
#include "FuzzSession.h"
#include "config/Proxydata.h"

using namespace fuzzsession;
using testsupport::fromBase64;

namespace {

constexpr int kMethods[] = {MethodNone, MethodAuto, MethodLogin, MethodPlain, MethodCramMd5, 7, -1};

const char* const kClients[] = {
    "EHLO client.example.com\r\nMAIL FROM:<a@example.com>\r\nRCPT TO:<b@far.test>\r\nDATA\r\n"
    "Subject: x\r\n\r\nbody\r\n.\r\nQUIT\r\n",
    "HELO client\r\nMAIL FROM:<a@example.com>\r\nRCPT TO:<b@far.test>\r\nDATA\r\n"
    "Subject: x\r\n\r\nbody\r\n.\r\nQUIT\r\n",
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The server may hand the password back itself, plainly or as a CRAM-MD5 challenge; then its
// appearance in the trace is the server's doing, not the proxy's. A challenge is whatever
// follows the first four characters of a line once its CRs are gone, whatever the code and the
// separator look like, as the proxy takes it.
bool ServerRevealsSecret(const std::string& server, const std::string& secret) {
    if (Contains(server, secret)) {
        return true;
    }
    for (std::size_t start = 0; start < server.size();) {
        std::size_t end = server.find('\n', start);
        if (end == std::string::npos) {
            end = server.size();
        }
        std::string line = server.substr(start, end - start);
        std::erase(line, '\r');
        if (line.size() > 4 && Contains(fromBase64(line.substr(4)), secret)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return -1;
    }
    setMethod(kMethods[data[0] % (sizeof kMethods / sizeof kMethods[0])]);
    const char* client = kClients[data[1] % 2];
    const std::string server(reinterpret_cast<const char*>(data + 2), size - 2);
    upstreamReplays(server);
    const Outcome outcome = runSession(client, false);

    check(outcome.toClient.rfind("220 SMTP Proxy\r\n", 0) == 0, "greeting comes first");
    check(outcome.upstreamConnections == 1, "one upstream connection");
    const std::string trace = lastTrace();
    for (const std::string& secret : secrets()) {
        if (!ServerRevealsSecret(server, secret)) {
            check(!Contains(trace, secret), "no secret in the trace");
            check(!Contains(outcome.toClient, secret), "no secret sent to the client");
        }
    }
    return 0;
}
