// What the engine tells whoever shows it to the user: how each session's upstream part ended,
// and refresh tokens that the token endpoint replaced. The engine never calls the desktop
// program; it leaves events here, and the program takes them on its own thread.
//
// Threads: any thread may push; one reader takes. The reader waits on wakeFd() (readable while
// events wait) and then calls take(). Nothing here fails: when nobody reads, the oldest events
// are dropped beyond a fixed number.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "config/Proxydata.h"

// The well-known causes of a failed session that the user can act on. The engine names them in
// English (hintText); the desktop program words them in its own language.
enum class FailureHint {
    None,
    AppPassword,    // 534 5.7.9: the provider wants an application password
    AuthDisabled,   // 535 5.7.139: SMTP AUTH is turned off for the account
    BadCredentials, // 535 5.7.8 / 5.7.3: user name or password refused
    TlsFirst,       // 530 5.7.0: the server wants STARTTLS before the login
    SignInAgain,    // invalid_grant: the OAuth sign-in expired or was revoked
    CertName,       // the certificate names another host
    CertUnknownCa,  // the certificate is not from a known CA
    CertExpired,    // the certificate has expired
};

struct EngineEvent {
    enum class Kind {
        SessionFailed,       // the upstream could not be reached, secured or logged in to
        SessionRelayed,      // logged in (or greeted, for NONE) and handed over to the relay
        RefreshTokenRotated, // the token endpoint gave a new refresh token for the entry
    };
    Kind kind = Kind::SessionFailed;
    std::time_t when = 0;
    // The entry as the session copied it: its number at that time, and what identifies it.
    std::int32_t entryIndex = -1;
    std::string domain;
    std::string server;
    std::string user;
    // SessionFailed: what went wrong, in words for the user (the server's reply line, the TLS or
    // connect error); never a password, token or credential.
    std::string failure;
    FailureHint hintKind = FailureHint::None;
    bool temporary = false; // the mail client was told to try again (4xx)
    // RefreshTokenRotated: the entry's refresh token before and after (secrets: to be stored,
    // never shown).
    std::string oldRefreshToken;
    std::string newRefreshToken;

    EngineEvent() = default;
    // An event about `entry`, stamped now.
    EngineEvent(Kind what, const ProxyData& entry);
    EngineEvent(const EngineEvent&) = default;
    EngineEvent(EngineEvent&&) = default;
    EngineEvent& operator=(const EngineEvent&) = default;
    EngineEvent& operator=(EngineEvent&&) = default;
    ~EngineEvent();
};

class EngineEvents {
  public:
    EngineEvents();
    ~EngineEvents();
    EngineEvents(const EngineEvents&) = delete;
    EngineEvents& operator=(const EngineEvents&) = delete;

    void push(EngineEvent event);
    // Every waiting event, oldest first.
    std::vector<EngineEvent> take();
    // Readable while events wait (an eventfd); -1 if none could be made (then poll take()).
    int wakeFd() const { return wakeFd_; }

  private:
    std::mutex mutex_;
    std::deque<EngineEvent> events_;
    int wakeFd_ = -1;
};

// The line a user reads for a failed session: entry, server, what went wrong and the hint.
std::string describeFailure(const EngineEvent& event);

// Which well-known cause a failure text shows. Reply codes count only where a reply stands (at
// the start, or after "what: "), so an address or port that holds the same digits does not.
FailureHint failureHintFor(const std::string& failure);
// A one-line English hint for the server replies users meet most, or "".
std::string hintText(FailureHint hint);
