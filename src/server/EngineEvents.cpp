#include "server/EngineEvents.h"

#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

#include "Limits.h"
#include "server/Server.h"

namespace {

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool startsWithReplyCode(const std::string& text, std::size_t at) {
    if (text.size() < at + 3) {
        return false;
    }
    for (std::size_t k = at; k < at + 3; ++k) {
        if (text[k] < '0' || text[k] > '9') {
            return false;
        }
    }
    return text.size() == at + 3 || text[at + 3] == ' ' || text[at + 3] == '-';
}

// The server reply within a failure text: the text itself when it is one, or what follows the
// "what: " that a failed step puts before the reply; "" for connect and TLS errors.
std::string replyIn(const std::string& failure) {
    if (startsWithReplyCode(failure, 0)) {
        return failure;
    }
    const std::size_t colon = failure.find(": ");
    if (colon != std::string::npos && startsWithReplyCode(failure, colon + 2)) {
        return failure.substr(colon + 2);
    }
    return {};
}

} // namespace

EngineEvent::EngineEvent(Kind what, const ProxyData& entry)
    : kind(what), when(std::time(nullptr)), entryIndex(entry.Index), domain(entry.Domain),
      server(entry.SMTP), user(entry.User) {}

EngineEvent::~EngineEvent() {
    explicit_bzero(oldRefreshToken.data(), oldRefreshToken.size());
    explicit_bzero(newRefreshToken.data(), newRefreshToken.size());
}

EngineEvents::EngineEvents() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EngineEvents::~EngineEvents() {
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

void EngineEvents::push(EngineEvent event) {
    {
        std::lock_guard lock(mutex_);
        if (events_.size() >= limits::kQueuedEvents) {
            events_.pop_front();
        }
        events_.push_back(std::move(event));
    }
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
    }
}

std::vector<EngineEvent> EngineEvents::take() {
    if (wakeFd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(wakeFd_, &count, sizeof count);
    }
    std::lock_guard lock(mutex_);
    std::vector<EngineEvent> taken(std::make_move_iterator(events_.begin()),
                                   std::make_move_iterator(events_.end()));
    events_.clear();
    return taken;
}

std::string describeFailure(const EngineEvent& event) {
    std::string text = event.domain + " (" + event.server + "): " + event.failure;
    const std::string hint = hintText(event.hintKind);
    if (!hint.empty()) {
        text += " - " + hint;
    }
    return text;
}

FailureHint failureHintFor(const std::string& failure) {
    if (contains(failure, "invalid_grant")) {
        return FailureHint::SignInAgain;
    }
    if (contains(failure, "hostname mismatch") || contains(failure, "IP address mismatch")) {
        return FailureHint::CertName;
    }
    if (contains(failure, "local issuer") || contains(failure, "self-signed") ||
        contains(failure, "self signed")) {
        return FailureHint::CertUnknownCa;
    }
    if (contains(failure, "certificate has expired")) {
        return FailureHint::CertExpired;
    }
    const std::string reply = replyIn(failure);
    const int code = reply.empty() ? 0 : replyCode(reply.c_str()); // its digits are checked
    if (code == 534 || (code / 100 == 5 && contains(reply, " 5.7.9"))) {
        return FailureHint::AppPassword;
    }
    if (contains(reply, " 5.7.139")) {
        return FailureHint::AuthDisabled;
    }
    if (code == 535 || contains(reply, " 5.7.8") || contains(reply, " 5.7.3")) {
        return FailureHint::BadCredentials;
    }
    if (code == 530 && contains(reply, " 5.7.0")) {
        return FailureHint::TlsFirst;
    }
    return FailureHint::None;
}

std::string hintText(FailureHint hint) {
    switch (hint) {
    case FailureHint::AppPassword:
        return "The provider requires an application password for this account.";
    case FailureHint::AuthDisabled:
        return "The provider has SMTP AUTH turned off for this account.";
    case FailureHint::BadCredentials:
        return "The user name or password was not accepted.";
    case FailureHint::TlsFirst:
        return "The server wants TLS first: choose STARTTLS.";
    case FailureHint::SignInAgain:
        return "The sign-in has expired or was revoked: sign in again.";
    case FailureHint::CertName:
        return "The certificate does not name this server: check the server name, or set "
               "Fingerprint for this certificate.";
    case FailureHint::CertUnknownCa:
        return "The certificate is not from a known CA: set CAFile or Fingerprint.";
    case FailureHint::CertExpired:
        return "The server's certificate has expired.";
    case FailureHint::None:
        break;
    }
    return {};
}
