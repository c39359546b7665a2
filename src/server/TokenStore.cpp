#include "server/TokenStore.h"

#include "config/Inifile.h"
#include "diag/Proginit.h"

bool storeRotatedRefreshToken(const EngineEvent& event, ProxyData* stored) {
    const auto carriesOldToken = [&](const ProxyData& entry) {
        return entry.Domain == event.domain && entry.User == event.user &&
               entry.OAuthRefresh == event.oldRefreshToken;
    };
    ProxyData entry = ProxyList.At(event.entryIndex);
    if (event.entryIndex < 0 || !carriesOldToken(entry)) {
        if (!ProxyList.Scan(carriesOldToken, entry)) {
            DebugLog("OAuth refresh token not stored: the entry changed meanwhile");
            return false;
        }
    }
    entry.OAuthRefresh = event.newRefreshToken;
    entry.Save();
    ProxyList.Replace(entry);
    if (stored != nullptr) {
        *stored = entry;
    }
    return true;
}
