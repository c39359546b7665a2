// The entries' secrets in a real GNOME Keyring (private D-Bus session, see with_keyring.sh).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <thread>

#include "FaultUpstream.h"
#include "FormOption.h"
#include "KeyringStore.h"
#include "LoopbackSocket.h"
#include "ProcessState.h"
#include "UiFixture.h"
#include "server/Server.h"

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
    // Saving an entry whose secret never reached the list (a locked keyring at start) keeps it.
    ProxyData unread = oauth;
    unread.OAuthRefresh.clear();
    ASSERT_TRUE(secrets.Saved(unread, &unread, all).ok());
    EXPECT_TRUE(Stored(store, oauth, SecretKind::RefreshToken));

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

using KeyringProgramTest = uitest::UiTest;

// The option moves every secret into the keyring and back, byte for byte; in between the real
// program logs in upstream with a password that only the keyring holds.
TEST_F(KeyringProgramTest, TheProgramDeliversWithNoSecretInTheSettingsFile) {
    using namespace std::chrono_literals;
    FaultUpstream upstream("taro", "pa\"ss =;w0rd");
    Start({{"a.example", "127.0.0.1", MethodLogin, "taro", "pa\"ss =;w0rd", upstream.port()},
           {"b.example", "127.0.0.1", MethodPlain, "jiro", "other", upstream.port()}});
    const std::string clear = SettingsText();
    const auto setKeyring = [&](bool on) {
        WithModal(
            w_.FrmOption, [&] { w_.FrmOption->exec(); },
            [&] {
                w_.FrmOption->findChild<QCheckBox*>(QStringLiteral("CheckBoxKeyring"))
                    ->setChecked(on);
                QTest::mouseClick(Button(w_.FrmOption, "ButtonOK"), Qt::LeftButton);
            });
    };
    setKeyring(true);
    EXPECT_EQ(Key("Option", "Keyring"), "1");
    EXPECT_EQ(Key("Proxy", "Passwd000"), "");
    EXPECT_EQ(Key("Proxy", "Passwd001"), "");

    // The real program, in the same private session bus, with the file as it is now.
    delete w_.FormMain;
    w_ = {};
    serverStop();
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(VELLOMIR_PROGRAM), {});
    ASSERT_TRUE(program.waitForStarted());
    int client = -1;
    for (int i = 0; i < 100 && client < 0; ++i) {
        std::this_thread::sleep_for(50ms);
        client = testsupport::connectLoopback(listenPort_);
    }
    ASSERT_GE(client, 0) << "the program does not listen";
    testsupport::readLine(client);
    testsupport::sendText(client, "HELO pc\r\nMAIL FROM:<s@a.example>\r\n");
    testsupport::readLine(client);
    EXPECT_EQ(testsupport::readLine(client).substr(0, 3), "250");
    testsupport::closeSocketQuietly(client);
    auto connection = upstream.nextConnection(3s);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(testsupport::waitUntil([&] {
        std::lock_guard lock(connection->mutex);
        return connection->loggedInAs == "taro";
    }));
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(5000));

    // Back in the windows: erasing renumbers the second entry to the first place; its secret
    // stays, the erased one's goes. Off then writes the rest back as they were.
    Start();
    w_.FormMain->EraseEntry(0);
    const KeyringStore store(20000);
    std::string secret;
    EXPECT_EQ(
        store
            .Read(QStringLiteral("Passwd taro@127.0.0.1:%1 a.example").arg(upstream.port()), secret)
            .status,
        KeyringResult::Missing);
    setKeyring(false);
    EXPECT_EQ(Key("Option", "Keyring"), "0");
    EXPECT_EQ(Key("Proxy", "Passwd000"), "b3RoZXI="); // Base64 of "other", from the keyring
    EXPECT_EQ(store.Read(SecretKey(ProxyList.At(0), SecretKind::Password), secret).status,
              KeyringResult::Missing);
    EXPECT_NE(clear.find("Passwd001=b3RoZXI="), std::string::npos);
}

} // namespace
