// The program's use of the desktop keyring ([Option] Keyring): the entries' secrets are read
// into the entry list at start-up, kept in step with every save and erase of an entry and with
// rotated refresh tokens, and moved in or out when the option changes.
//
// User-interface thread only; every call waits for the keyring (see KeyringStore). Each gives
// "" when all went well, else what the user should be told; nothing ever falls back to writing
// a secret into the settings file.
#pragma once

#include <QString>

#include "KeyringStore.h"
#include "config/Proxydata.h"

class SecretsKeeper {
  public:
    explicit SecretsKeeper(int waitMillis = limits::kKeyringWaitMillis)
        : store_(waitMillis), secrets_(store_) {}

    // With the option on: fills the secrets of the global entry list from the keyring; an entry
    // left without its secret fails its login with the reason traced.
    QString LoadAtStart();
    // After the entry dialog saved `entry` (`before`: the entry as it was, or null for a new one).
    QString AfterSave(const ProxyData& entry, const ProxyData* before);
    // After `erased` left the list (the list is renumbered already).
    QString AfterErase(const ProxyData& erased);
    // After a session's token endpoint replaced the entry's refresh token.
    QString AfterTokenRotated(const ProxyData& entry);
    // Turns the option on (every secret stored and read back, then the settings file rewritten
    // without them) or off (the secrets read again, the file rewritten with them, then removed
    // from the keyring). Nothing changes when it gives a problem.
    QString Switch(bool on);

  private:
    KeyringStore store_;
    KeyringSecrets secrets_;
};
