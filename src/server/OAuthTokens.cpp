#include "server/OAuthTokens.h"

#include <cstring>

#include <curl/curl.h>

#include "codec/Wipe.h"
#include "diag/Proginit.h"
#include "server/EngineEvents.h"

namespace {

// A token with less than this left is refreshed before use: a session must not log in with a
// token that expires during its EHLO.
constexpr auto kTokenMargin = std::chrono::seconds(60);
// Replaced refresh tokens remembered per account: more than enough for the rotations that can
// happen between two saves of the settings file.
constexpr std::size_t kReplacedKept = 8;

// The account a token belongs to: the same user at the same endpoint for the same client.
std::string accountKey(const ProxyData& entry) {
    return entry.OAuthTokenUrl + '\n' + entry.OAuthClientId + '\n' + entry.User;
}

} // namespace

OAuthTokens::Account::~Account() {
    Wipe(accessToken);
    Wipe(newest);
    for (std::string& token : replaced) {
        Wipe(token);
    }
}

OAuthTokens::OAuthTokens(EngineEvents& events) : events_(events) {
    // Before any session thread exists: the library's global set-up is not for many threads.
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

std::shared_ptr<OAuthTokens::Account> OAuthTokens::account(const ProxyData& entry) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Account>& found = accounts_[accountKey(entry)];
    if (!found) {
        found = std::make_shared<Account>();
    }
    return found;
}

TokenOutcome OAuthTokens::accessToken(const ProxyData& entry, std::string& token,
                                      int deadlineMillis) {
    std::shared_ptr<Account> held = account(entry);
    Account& state = *held;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMillis);
    std::unique_lock lock(state.mutex);
    for (;;) {
        if (!state.accessToken.empty() &&
            state.expires - std::chrono::steady_clock::now() > kTokenMargin) {
            token = state.accessToken;
            return {true, false, {}};
        }
        if (!state.busy) {
            break;
        }
        // Another session of this account asks already: its answer is ours too, even a
        // token that lives for less than the margin.
        const std::uint64_t awaited = state.round;
        if (!state.done.wait_until(lock, deadline, [&] { return state.round != awaited; })) {
            return {false, true, "no token in time"};
        }
        if (!state.last.ok || !state.accessToken.empty()) {
            if (state.last.ok) {
                token = state.accessToken;
            }
            return state.last;
        }
    }
    if (entry.OAuthRefresh.empty()) {
        return {false, false, "no refresh token: sign in first"};
    }
    // The refresh token the endpoint gave last replaces the one this entry still carries.
    bool superseded = false;
    for (const std::string& old : state.replaced) {
        superseded = superseded || old == entry.OAuthRefresh;
    }
    std::string refresh = superseded ? state.newest : entry.OAuthRefresh;
    state.busy = true;
    lock.unlock();

    std::string access;
    std::string rotated;
    long expiresIn = 0;
    const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count());
    TokenOutcome outcome =
        requestAccessToken(entry, refresh, left > 0 ? left : 1, access, expiresIn, rotated);

    lock.lock();
    state.busy = false;
    ++state.round;
    state.last = outcome;
    if (outcome.ok) {
        Wipe(state.accessToken);
        state.accessToken = access;
        state.expires = std::chrono::steady_clock::now() + std::chrono::seconds(expiresIn);
        token = access;
        DebugLog("OAuth token ok: expires in %ld s", expiresIn);
        if (!rotated.empty() && rotated != refresh) {
            DebugLog("OAuth refresh token rotated");
            if (state.replaced.size() >= kReplacedKept) {
                Wipe(state.replaced.front());
                state.replaced.erase(state.replaced.begin());
            }
            state.replaced.push_back(refresh);
            Wipe(state.newest);
            state.newest = rotated;
            EngineEvent event(EngineEvent::Kind::RefreshTokenRotated, entry);
            // The token that was sent: what the stored entry holds once the earlier
            // rotations are stored.
            event.oldRefreshToken = refresh;
            event.newRefreshToken = rotated;
            events_.push(std::move(event));
        }
    } else {
        DebugLog("OAuth token error: %s", outcome.error.c_str());
    }
    state.done.notify_all();
    lock.unlock();
    Wipe(access);
    Wipe(rotated);
    Wipe(refresh);
    return outcome;
}

void OAuthTokens::drop(const ProxyData& entry) {
    std::shared_ptr<Account> held = account(entry);
    std::lock_guard lock(held->mutex);
    Wipe(held->accessToken);
}
