// Shared harness of the session targets: one proxy session on a socket pair (the mail client's
// end stays with the harness) against an upstream server on loopback that either speaks correct
// SMTP with AUTH or replays fixed bytes. Every run is bounded: a session that does not end within
// a few seconds, or that leaves a descriptor behind, is reported as a fault.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fuzzsession {

inline constexpr const char* kUser = "fuzzuser";
inline constexpr const char* kPassword = "Pz9!fuzz-Secret";

// Starts the upstream server once and points these entries at it:
//   example.com  -> upstream, method set per run
//   none.test    -> upstream, method NONE
//   down.test    -> a closed port
void initialize();

// The upstream answers as a correct SMTP server (AUTH accepted for any credentials).
void upstreamSpeaksSmtp();
// The upstream sends exactly `bytes` on every connection, then ends its sending side and
// reads until the proxy closes.
void upstreamReplays(const std::string& bytes);

void setMethod(int method);

struct Outcome {
    std::string toClient; // everything the proxy sent to the mail client
    int upstreamConnections = 0;
};

// Runs one session: the client's bytes are written at once. With `closeClientWhenQuiet` the
// client ends its sending side once the proxy has taken all of them and gone quiet (otherwise
// the session has to end from the upstream side). Aborts when the session hangs or leaks.
Outcome runSession(const std::string& clientBytes, bool closeClientWhenQuiet);

// Trace output of the last session (file mode, fresh for every session).
std::string lastTrace();

// What must never show in a trace: the password, its Base64 form and the AUTH PLAIN payload.
std::vector<std::string> secrets();

} // namespace fuzzsession
