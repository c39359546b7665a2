// The secrets of the proxy entries (password, OAuth client secret, OAuth refresh token) in the
// desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC) through QtKeychain, under the
// service name "vellomir". The settings file then keeps those keys empty.
//
// Key of a secret: its kind, then the entry's user, server, port and domain, e.g.
// "Passwd alice@smtp.example.com:587 example.com". Keys follow what an entry is, not its number,
// so renumbering entries never moves a secret; two entries alike in all four share one.
//
// User-interface thread only. Each call waits for the Secret Service's answer (a nested event
// loop, bounded in time: an unlock prompt the user leaves open ends as a failure), so callers
// read like plain code. Failure is reported by the result, with a reason for the user; no
// secret ever goes anywhere else, and nothing falls back to the settings file.
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "Limits.h"
#include "config/Proxydata.h"

enum class SecretKind { Password, ClientSecret, RefreshToken };

struct KeyringResult {
    enum Status { Ok, Missing, Unavailable, Denied, Failed };
    Status status = Ok;
    QString reason; // for the user and the trace; empty when Ok

    bool ok() const { return status == Ok; }
};

QString SecretKey(const ProxyData& entry, SecretKind kind);
// The entry's secret of that kind (a reference into `entry`).
std::string& SecretOf(ProxyData& entry, SecretKind kind);
const std::string& SecretOf(const ProxyData& entry, SecretKind kind);
inline constexpr SecretKind kSecretKinds[] = {SecretKind::Password, SecretKind::ClientSecret,
                                              SecretKind::RefreshToken};

class KeyringStore {
  public:
    // `waitMillis` bounds each call, an unlock prompt included.
    explicit KeyringStore(int waitMillis = limits::kKeyringWaitMillis) : waitMillis_(waitMillis) {}

    KeyringResult Read(const QString& key, std::string& secret) const;
    KeyringResult Write(const QString& key, const std::string& secret) const;
    // A key that is not there counts as removed.
    KeyringResult Remove(const QString& key) const;

  private:
    int waitMillis_;
};

// What the program does with the keyring, on top of KeyringStore: moving every secret there and
// back, filling the entry list at start-up, and keeping the keyring in step with entry edits.
class KeyringSecrets {
  public:
    explicit KeyringSecrets(const KeyringStore& store) : store_(store) {}

    // Stores every non-empty secret of `entries` and reads each back; only when all of them came
    // back byte for byte gives Ok (the caller then rewrites the settings file without them).
    // Otherwise removes what it stored and gives the first failure.
    KeyringResult MoveIn(const std::vector<ProxyData>& entries) const;
    // Removes every secret of `entries` from the keyring; call after the settings file holds
    // them again. Failures are reported, not fatal (a stray copy in the keyring is no leak).
    KeyringResult Forget(const std::vector<ProxyData>& entries) const;
    // Fills the secrets of every entry from the keyring; an entry whose secret cannot be had
    // gets SecretProblem set (its login then fails at once, with that reason traced). Gives the
    // first failure, Ok when every secret the entries need came.
    KeyringResult FillAll(std::vector<ProxyData>& entries) const;
    // After an entry was saved: stores its changed secrets under its keys (a secret made empty
    // is removed), and removes those under the keys of `before` (the entry as it was) when they
    // changed and no entry of `all` still uses them.
    KeyringResult Saved(const ProxyData& entry, const ProxyData* before,
                        const std::vector<ProxyData>& all) const;
    // After an entry was erased: removes its secrets unless another entry of `remaining` shares
    // their keys.
    KeyringResult Erased(const ProxyData& entry, const std::vector<ProxyData>& remaining) const;

  private:
    const KeyringStore& store_;
};
