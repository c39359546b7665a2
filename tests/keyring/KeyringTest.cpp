// The entries' secrets in a real GNOME Keyring (private D-Bus session, see with_keyring.sh).
#include <gtest/gtest.h>

#include "KeyringStore.h"

namespace {

ProxyData Entry(std::int32_t index, const std::string& server, std::int32_t method) {
    ProxyData entry;
    entry.Index = index;
    entry.Domain = "example.com";
    entry.SMTP = server;
    entry.User = "alice";
    entry.Port = 587;
    entry.Method = method;
    return entry;
}

bool Stored(const KeyringStore& store, const ProxyData& entry, SecretKind kind) {
    std::string secret;
    return store.Read(SecretKey(entry, kind), secret).ok();
}

TEST(Keyring, SecretsGoInComeBackWholeAndLeaveNoOrphan) {
    const KeyringStore store(20000);
    const KeyringSecrets secrets(store);
    ProxyData login = Entry(0, "smtp.example.com", MethodLogin);
    login.Passwd = std::string("p\x01\xc3\xa4 \"'=;", 9);
    ProxyData oauth = Entry(1, "smtp.office365.com", MethodXoauth2);
    oauth.OAuthRefresh = std::string(3000, 'r');
    oauth.OAuthClientSecret = "client secret";
    ProxyData twin = login; // alike in user, server, port and domain: one key for both
    twin.Index = 2;
    std::vector<ProxyData> all = {login, oauth, twin};
    ASSERT_TRUE(secrets.MoveIn(all).ok());

    std::vector<ProxyData> loaded = all;
    for (ProxyData& entry : loaded) {
        entry.Passwd.clear();
        entry.OAuthRefresh.clear();
        entry.OAuthClientSecret.clear();
    }
    ASSERT_TRUE(secrets.FillAll(loaded).ok());
    EXPECT_EQ(loaded, all) << "not byte for byte";

    // A new server for the first entry: its twin still needs the old key.
    ProxyData moved = login;
    moved.SMTP = "mail.example.com";
    all[0] = moved;
    ASSERT_TRUE(secrets.Saved(moved, &login, all).ok());
    EXPECT_TRUE(Stored(store, moved, SecretKind::Password));
    EXPECT_TRUE(Stored(store, login, SecretKind::Password));
    // Erasing the twin leaves no orphan; erasing the others empties the keyring.
    all.pop_back();
    ASSERT_TRUE(secrets.Erased(twin, all).ok());
    EXPECT_FALSE(Stored(store, login, SecretKind::Password));
    ASSERT_TRUE(secrets.Forget(all).ok());
    for (const SecretKind kind : kSecretKinds) {
        EXPECT_FALSE(Stored(store, moved, kind));
        EXPECT_FALSE(Stored(store, oauth, kind));
    }

    // A secret that is not there: the entry says why, and no login goes out without it.
    loaded = all;
    loaded[0].Passwd.clear();
    EXPECT_FALSE(secrets.FillAll(loaded).ok());
    EXPECT_NE(loaded[0].SecretProblem, "");
    EXPECT_NE(loaded[1].SecretProblem, ""); // its refresh token is gone too
}

} // namespace
