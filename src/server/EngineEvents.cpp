#include "server/EngineEvents.h"

#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

#include "Limits.h"

namespace {

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

} // namespace

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
    if (!event.hint.empty()) {
        text += " - " + event.hint;
    }
    return text;
}

std::string hintForReply(const std::string& reply) {
    if (contains(reply, "5.7.9") || contains(reply, "534")) {
        return "The provider requires an application password for this account.";
    }
    if (contains(reply, "5.7.139")) {
        return "The provider has SMTP AUTH turned off for this account.";
    }
    if (contains(reply, "5.7.8") || contains(reply, "5.7.3") || contains(reply, "535")) {
        return "The user name or password was not accepted.";
    }
    if (contains(reply, "530") && contains(reply, "5.7.0")) {
        return "The server wants TLS first: choose STARTTLS.";
    }
    if (contains(reply, "invalid_grant")) {
        return "The sign-in has expired or was revoked: sign in again.";
    }
    if (contains(reply, "hostname mismatch") || contains(reply, "IP address mismatch")) {
        return "The certificate does not name this server: check the server name, or set "
               "Fingerprint for this certificate.";
    }
    if (contains(reply, "local issuer") || contains(reply, "self-signed") ||
        contains(reply, "self signed")) {
        return "The certificate is not from a known CA: set CAFile or Fingerprint.";
    }
    if (contains(reply, "certificate has expired")) {
        return "The server's certificate has expired.";
    }
    return {};
}
