#include "SecretsKeeper.h"

#include "config/Inifile.h"
#include "diag/Proginit.h"

namespace {

QString Problem(const KeyringResult& result, const char* what) {
    if (result.ok()) {
        return {};
    }
    DebugLog("Keyring %s: %s", what, result.reason.toUtf8().constData());
    return QStringLiteral("キーリング: %1").arg(result.reason);
}

} // namespace

QString SecretsKeeper::LoadAtStart() {
    if (Ini.Keyring == 0 || ProxyList.Count() == 0) {
        return {};
    }
    std::vector<ProxyData> entries = ProxyList.Snapshot();
    const KeyringResult result = secrets_.FillAll(entries);
    for (const ProxyData& entry : entries) {
        ProxyList.Replace(entry);
    }
    return Problem(result, "read");
}

QString SecretsKeeper::AfterSave(const ProxyData& entry, const ProxyData* before) {
    if (Ini.Keyring == 0) {
        return {};
    }
    return Problem(secrets_.Saved(entry, before, ProxyList.Snapshot()), "save");
}

QString SecretsKeeper::AfterErase(const ProxyData& erased) {
    if (Ini.Keyring == 0) {
        return {};
    }
    return Problem(secrets_.Erased(erased, ProxyList.Snapshot()), "erase");
}

QString SecretsKeeper::AfterTokenRotated(const ProxyData& entry) {
    if (Ini.Keyring == 0) {
        return {};
    }
    return Problem(store_.Write(SecretKey(entry, SecretKind::RefreshToken), entry.OAuthRefresh),
                   "save");
}

QString SecretsKeeper::Switch(bool on) {
    if ((Ini.Keyring != 0) == on) {
        return {};
    }
    std::vector<ProxyData> entries = ProxyList.Snapshot();
    if (on) {
        const KeyringResult stored = secrets_.MoveIn(entries);
        if (!stored.ok()) {
            return Problem(stored, "store");
        }
        Ini.Keyring = 1; // the secret keys are written empty from now on
        if (!Ini.SaveKeyringAndList()) {
            Ini.Keyring = 0;
            secrets_.Forget(entries);
            return QStringLiteral("設定ファイルを保存できませんでした");
        }
        DebugLog("Keyring on: %d entries", static_cast<int>(entries.size()));
        return {};
    }
    // The keyring's copies are the ones to keep: read them again, so a secret that could not
    // be had at start-up is not written back empty.
    const KeyringResult read = secrets_.FillAll(entries);
    if (!read.ok()) {
        return Problem(read, "read");
    }
    for (const ProxyData& entry : entries) {
        ProxyList.Replace(entry);
    }
    Ini.Keyring = 0;
    if (!Ini.SaveKeyringAndList()) {
        Ini.Keyring = 1; // the keyring keeps the only copies
        return QStringLiteral("設定ファイルを保存できませんでした");
    }
    DebugLog("Keyring off: %d entries", static_cast<int>(entries.size()));
    return Problem(secrets_.Forget(entries), "remove");
}
