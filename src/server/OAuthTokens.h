// OAuth 2.0 access tokens for the XOAUTH2 login: kept in memory per account, refreshed at the
// token endpoint from the entry's refresh token when fewer than 60 s are left.
//
// Threads: any session thread. Sessions of one account that need a token at the same moment
// share one request; the others wait for its outcome. Failure is reported by the result and a
// text for the trace and the user, which never holds a token or secret.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/Proxydata.h"

class EngineEvents;

// What a token request gave.
struct TokenOutcome {
    bool ok = false;
    bool temporary = false; // the endpoint could not be reached or failed on its side
    std::string error;      // for the trace and the user (the endpoint's error code and text)
};

class OAuthTokens {
  public:
    explicit OAuthTokens(EngineEvents& events);
    OAuthTokens(const OAuthTokens&) = delete;
    OAuthTokens& operator=(const OAuthTokens&) = delete;

    // A valid access token for the entry's account into `token`, waiting at most
    // `deadlineMillis` for the token endpoint. A new refresh token from the endpoint is kept
    // for the next refresh and reported (EngineEvent::RefreshTokenRotated) to be stored.
    TokenOutcome accessToken(const ProxyData& entry, std::string& token, int deadlineMillis);
    // Forgets the account's access token after the server refused it: the next session asks for
    // a new one.
    void drop(const ProxyData& entry);

  private:
    struct Account {
        std::mutex mutex;
        std::condition_variable done;
        bool busy = false;
        std::uint64_t round = 0; // counts finished requests, so waiters see theirs
        TokenOutcome last;
        std::string accessToken;
        std::chrono::steady_clock::time_point expires{};
        // Refresh tokens the endpoint replaced (the last few), and the newest: an entry that
        // still carries a replaced one (its copy predates the rotation, or the new token is
        // not stored yet) refreshes with the newest instead of a voided token.
        std::vector<std::string> replaced;
        std::string newest;
        ~Account();
    };

    std::shared_ptr<Account> account(const ProxyData& entry);

    EngineEvents& events_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Account>> accounts_;
};

// Whether a token may be sent to `url`: https, or http to this machine only ("localhost" or a
// numeric loopback address). Otherwise false, with `why` (when given) in words for the user.
bool oauthUrlAllowed(const std::string& url, std::string* why = nullptr);

// Asks the token endpoint for an access token with grant_type=refresh_token. Only https URLs,
// or http to a loopback host. Fills `accessToken`, `expiresInSeconds` and, when the endpoint
// rotated it, `newRefreshToken`.
TokenOutcome requestAccessToken(const ProxyData& entry, const std::string& refreshToken,
                                int deadlineMillis, std::string& accessToken,
                                long& expiresInSeconds, std::string& newRefreshToken);

// Exchanges an authorization code (PKCE) for tokens at the entry's token endpoint: the desktop
// program's sign-in. Same rules as above.
TokenOutcome requestTokensForCode(const ProxyData& entry, const std::string& code,
                                  const std::string& codeVerifier, const std::string& redirectUri,
                                  int deadlineMillis, std::string& accessToken,
                                  long& expiresInSeconds, std::string& refreshToken);
