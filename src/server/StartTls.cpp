// The entry's security on a freshly connected upstream socket: implicit TLS, or STARTTLS. Never
// a fall-back to plain text: any failure ends the session before anything else goes upstream.
#include <cstring>
#include <string>
#include <sys/socket.h>

#include "Limits.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

void insecure(SocketTask& task, const std::string& reason) {
    DebugLog("TLS failed: %s", reason.c_str());
    task.fail(UpstreamFailure::Insecure, reason);
}

// True when the line's keyword (after the reply code and its separator) is exactly STARTTLS.
bool offersStartTls(const char* line) {
    if (std::strlen(line) < 4) {
        return false;
    }
    const char* keyword = line + 4;
    const std::size_t length = std::strcspn(keyword, " \t");
    return length == 8 && isCommand(keyword, "STARTTLS");
}

// Reads a whole reply whose code must be `expected` (`what` names it for the trace); with
// `sawStartTls`, also tells whether any of its lines offers STARTTLS.
bool readReply(SocketTask& task, char* line, std::size_t size, int expected, const char* what,
               bool* sawStartTls) {
    if (getLine(task, task.PeerSocket, line, size) != 0) {
        return false;
    }
    if (replyCode(line) != expected) {
        insecure(task, std::string(what) + ": " + line);
        return false;
    }
    bool offered = offersStartTls(line);
    while (std::strlen(line) > 3 && line[3] == '-') {
        if (getLine(task, task.PeerSocket, line, size) != 0) {
            return false;
        }
        offered = offered || offersStartTls(line);
    }
    if (sawStartTls != nullptr) {
        *sawStartTls = offered;
    }
    return true;
}

bool handshake(const ProxyData& entry, SocketTask& task, const std::string& fingerprint) {
    if (task.Services == nullptr) {
        insecure(task, "no TLS service in this task");
        return false;
    }
    TlsPolicy policy{entry.SMTP, entry.CAFile, fingerprint};
    std::string error;
    DebugLog("TLS start(%s)", entry.SMTP.c_str());
    task.PeerTls = TlsLink::connect(task.PeerSocket, policy, task.Services->tls,
                                    engineDeadlines().handshakeMillis, error);
    if (!task.PeerTls) {
        insecure(task, error);
        return false;
    }
    DebugLog("TLS ok: %s", task.PeerTls->description().c_str());
    return true;
}

bool startTls(const ProxyData& entry, SocketTask& task, char* line, std::size_t size,
              const char* word, const std::string& fingerprint) {
    if (!readReply(task, line, size, 220, "greeting", nullptr)) {
        return false;
    }
    sendServerLine(task, ("EHLO " + std::string(word) + "\n").c_str(), true);
    bool offered = false;
    if (!readReply(task, line, size, 250, "EHLO refused", &offered)) {
        return false;
    }
    if (!offered) {
        insecure(task, "the server does not offer STARTTLS");
        return false;
    }
    sendServerLine(task, "STARTTLS\n", true);
    if (!readReply(task, line, size, 220, "STARTTLS refused", nullptr)) {
        return false;
    }
    // Anything already behind the go-ahead was sent before TLS and would be taken as the
    // server's first replies under TLS: a man in the middle injecting them.
    char extra[64];
    if (receiveRetrying(task.PeerSocket, extra, sizeof extra, MSG_PEEK | MSG_DONTWAIT) > 0) {
        insecure(task, "bytes arrived after the STARTTLS go-ahead (reply injection)");
        return false;
    }
    return handshake(entry, task, fingerprint);
}

} // namespace

int secureUpstream(const ProxyData& entry, SocketTask& task, char* line, std::size_t size,
                   const char* word, bool& greetingRead) {
    greetingRead = false;
    std::string fingerprint;
    if (!normaliseFingerprint(entry.Fingerprint, fingerprint)) {
        // A pin that cannot match anything must not be mistaken for no pin.
        insecure(task, "the Fingerprint setting is not 64 hex digits");
        return -1;
    }
    switch (entry.Security) {
    case SecurityTls:
        return handshake(entry, task, fingerprint) ? 0 : -1;
    case SecurityStartTls:
        if (!startTls(entry, task, line, size, word, fingerprint)) {
            return -1; // every way there has stopped the task
        }
        greetingRead = true;
        return 0;
    default:
        return 0;
    }
}
