// The mail client's side of a session under arbitrary bytes: whatever the client sends, the
// session answers with the proxy's greeting first, ends in bounded time, closes both sockets,
// leaves no descriptor behind, and neither the client nor the trace ever sees the password.
//
// Input: byte 0 picks the login method of the entry "example.com"; the rest is what the mail
// client sends. The entries "none.test" (method NONE) and "down.test" (nothing listens) exist too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "FuzzSession.h"
#include "config/Proxydata.h"

using namespace fuzzsession;

namespace {

constexpr int kMethods[] = {MethodNone, MethodAuto, MethodLogin, MethodPlain, MethodCramMd5, 7};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    initialize();
    upstreamSpeaksSmtp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return -1;
    }
    setMethod(kMethods[data[0] % (sizeof kMethods / sizeof kMethods[0])]);
    const std::string client(reinterpret_cast<const char*>(data + 1), size - 1);
    const Outcome outcome = runSession(client, true);

    check(outcome.toClient.rfind("220 SMTP Proxy\r\n", 0) == 0, "greeting comes first");
    check(outcome.upstreamConnections <= 1, "at most one upstream connection per session");
    check(!Contains(outcome.toClient, kPassword), "password never reaches the client");

    const std::string trace = lastTrace();
    for (const std::string& secret : secrets()) {
        if (!Contains(client, secret)) {
            check(!Contains(trace, secret), "no secret in the trace");
        }
    }
    return 0;
}
