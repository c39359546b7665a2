#include "config/Inifile.h"

#include <chrono>
#include <iostream>

#include "TempDir.h"

namespace {

class IniFileTest : public InTempDir {
  protected:
    void Load(const std::string& text) {
        Put(kSettingsFileName, text);
        Ini.Load();
    }
    static std::string Settings() { return Get(kSettingsFileName); }
    static ProxyData Entry(const std::string& tag, const std::string& password = "pw") {
        ProxyData entry;
        entry.Domain = tag + ".example";
        entry.SMTP = "smtp." + tag;
        entry.Method = MethodCramMd5;
        entry.User = "user-" + tag;
        entry.Passwd = password;
        entry.Port = 587;
        return entry;
    }
    static std::string Entries(const std::vector<std::string>& tags) {
        std::string text = "[Proxy]\nCount=" + std::to_string(tags.size()) + "\n";
        for (std::size_t i = 0; i < tags.size(); ++i) {
            char n[24];
            std::snprintf(n, sizeof n, "%03zu", i);
            text += std::string("Domain") + n + "=" + tags[i] + ".example\nSMTP" + n + "=smtp." +
                    tags[i] + "\nMethod" + n + "=4\nUser" + n + "=user-" + tags[i] + "\nPasswd" +
                    n + "=cHc=\nPort" + n + "=587\n";
        }
        return text;
    }
};

TEST_F(IniFileTest, MissingFileGivesDefaults) {
    Ini.Load();
    EXPECT_EQ(Ini.CurrentDir, dir_.string());
    EXPECT_EQ(Ini.Path, dir_.string() + "/Vellomir.ini");
    EXPECT_EQ(Ini.DebugWrite, 0);
    EXPECT_EQ(Ini.Left, 200);
    EXPECT_EQ(Ini.Top, 200);
    EXPECT_EQ(Ini.Width, 0);
    EXPECT_EQ(Ini.Height, 0);
    EXPECT_EQ(Ini.ListenAddress, "127.0.0.1");
    EXPECT_EQ(Ini.ListenPort, 25);
    EXPECT_EQ(ProxyList.Count(), 0);
}

TEST_F(IniFileTest, IntegerAndAddressValues) {
    struct Row {
        const char* port;
        std::int32_t expected;
    } rows[] = {{"0x19", 25}, {"025", 21}, {"25abc", 25},
                {"", 25},     {"abc", 0},  {"99999999999", INT32_MAX}};
    for (const Row& row : rows) {
        Load(std::string("[Option]\nListenAddress=\nListenPort=") + row.port +
             "\n[Program]\nLeft=x\nDebugWrite=4\n");
        EXPECT_EQ(Ini.ListenPort, row.expected) << row.port;
        EXPECT_EQ(Ini.ListenAddress, "127.0.0.1");
        EXPECT_EQ(Ini.Left, 0);
        EXPECT_EQ(Ini.Top, 200);
        EXPECT_EQ(Ini.DebugWrite, 4);
    }
    Load("[option]\nlistenaddress=mail.local\n");
    EXPECT_EQ(Ini.ListenAddress, "mail.local");
}

TEST_F(IniFileTest, CountRulesOnLoad) {
    Load("[Proxy]\nCount=3\nDomain000=a\nMethod000=2\nPort000=25\n");
    ASSERT_EQ(ProxyList.Count(), 3);
    for (int i = 1; i < 3; ++i) {
        ProxyData entry = ProxyList.At(i);
        EXPECT_EQ(entry.Index, i);
        EXPECT_EQ(entry.Domain, "");
        EXPECT_EQ(entry.Method, MethodNone);
        EXPECT_EQ(entry.Port, 1);
    }
    for (const char* count : {"-1", "abc", "0", ""}) {
        Load(std::string("[Proxy]\nCount=") + count + "\nDomain000=a\n");
        EXPECT_EQ(ProxyList.Count(), 0) << count;
    }
    Load("[Proxy]\nCount=2147483647\n");
    EXPECT_EQ(ProxyList.Count(), kMaxEntries);
}

TEST_F(IniFileTest, SavingNewAndEditedEntriesWritesCount) {
    Load(Entries({"a", "b", "c"}));
    ProxyData added = Entry("d");
    added.Index = ProxyList.Count();
    added.Save();
    Ini.LoadList();
    ASSERT_EQ(ProxyList.Count(), 4);
    EXPECT_EQ(ProxyList.At(3), ([&] {
                  ProxyData e = Entry("d");
                  e.Index = 3;
                  return e;
              })());

    Load(Entries({"a", "b", "c"}));
    ProxyData edited = Entry("B");
    edited.Index = 1;
    edited.Save();
    Ini.LoadList();
    ASSERT_EQ(ProxyList.Count(), 3);
    EXPECT_EQ(ProxyList.At(1).Domain, "B.example");
    EXPECT_EQ(ProxyList.At(2).Domain, "c.example");
}

TEST_F(IniFileTest, DeletingMiddleEntryRenumbersAndDropsOldLastKeys) {
    Load("; mine\n[Other]\nx=1\n" + Entries({"a", "b", "c"}) + "Domain007=stale\n");
    ProxyList.Erase(1);
    Ini.SaveList();
    std::string text = Settings();
    for (const char* key :
         {"Domain002", "SMTP002", "Method002", "User002", "Passwd002", "Port002"}) {
        EXPECT_EQ(text.find(key), std::string::npos) << key;
    }
    EXPECT_NE(text.find("; mine\n[Other]\nx=1\n"), std::string::npos);
    EXPECT_NE(text.find("Domain007=stale"), std::string::npos);
    Ini.Load();
    ASSERT_EQ(ProxyList.Count(), 2);
    EXPECT_EQ(ProxyList.At(0).Domain, "a.example");
    EXPECT_EQ(ProxyList.At(1).Domain, "c.example");
    EXPECT_EQ(ProxyList.At(1).Index, 1);
}

TEST_F(IniFileTest, TlsKeysTravelWithTheirEntry) {
    // Files from before TLS read as plain; an unknown mode reads as plain too.
    Load(Entries({"a", "b"}) + "Security001=7\n");
    EXPECT_EQ(ProxyList.At(0).Security, SecurityNone);
    EXPECT_EQ(ProxyList.At(1).Security, SecurityNone);

    ProxyData secured = Entry("t");
    secured.Security = SecurityTls;
    secured.CAFile = "/home/u/ca.pem";
    secured.Fingerprint = "AB:cd";
    ProxyList.Add(secured);
    ProxyList.Erase(0);
    Ini.SaveList();
    const std::string text = Settings();
    EXPECT_NE(text.find("\nSecurity001=2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nCAFile001=/home/u/ca.pem\nFingerprint001=AB:cd\n"), std::string::npos);
    EXPECT_EQ(text.find("Security002"), std::string::npos);
    Ini.Load();
    EXPECT_EQ(ProxyList.At(1).Security, SecurityTls);
    EXPECT_EQ(ProxyList.At(1).CAFile, "/home/u/ca.pem");
    EXPECT_EQ(ProxyList.At(1).Fingerprint, "AB:cd");
}

TEST_F(IniFileTest, OAuthKeysKeepLongTokensAndStoreSecretsInBase64) {
    Ini.Load();
    ProxyData entry = Entry("o");
    entry.Method = MethodXoauth2;
    entry.OAuthTokenUrl = "https://login.example/token";
    entry.OAuthClientId = "client-1";
    entry.OAuthClientSecret = "s3cret";
    entry.OAuthScope = "https://mail.example/ offline_access";
    entry.OAuthRefresh = std::string(3000, 'R') + "-end"; // refresh tokens run to kilobytes
    ProxyList.Add(entry);
    Ini.SaveList();
    EXPECT_EQ(Settings().find("s3cret"), std::string::npos); // never in clear
    EXPECT_EQ(Settings().find("RRRR"), std::string::npos);
    Ini.Load();
    const ProxyData back = ProxyList.At(0);
    EXPECT_EQ(back.OAuthRefresh, entry.OAuthRefresh);
    EXPECT_EQ(back.OAuthClientSecret, "s3cret");
    EXPECT_EQ(back.OAuthScope, entry.OAuthScope);
    EXPECT_EQ(back.OAuthTokenUrl, entry.OAuthTokenUrl);
}

TEST_F(IniFileTest, EntryThousandUsesFourDigitKeys) {
    Ini.Load();
    Ini.SaveEntry(1000, Entry("k"), true);
    EXPECT_NE(Settings().find("\nDomain1000=k.example\nSMTP1000="), std::string::npos);
    EXPECT_NE(Settings().find("Count=1001"), std::string::npos);
    ProxyData back;
    Ini.LoadEntry(1000, back);
    EXPECT_EQ(back.Domain, "k.example");
    EXPECT_EQ(back.Index, -1);
}

TEST_F(IniFileTest, PasswordsRoundTrip) {
    std::string all;
    for (int i = 0; i < 222; ++i) {
        all += static_cast<char>(1 + (i * 7 + 0x80) % 255); // every byte but 0, high ones too
    }
    std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""},           {"a", "a"},
        {"ab", "ab"},       {"abc", "abc"},
        {all, all},         {all.substr(0, 221), all.substr(0, 221)},
        {all + "xyz", all}, {"\xE3\x81\x82\xFF", "\xE3\x81\x82\xFF"},
    };
    Ini.Load();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ProxyList.Add(Entry(std::to_string(i), rows[i].first));
    }
    Ini.SaveList();
    EXPECT_NE(Settings().find("\nPasswd000=\n"), std::string::npos);
    EXPECT_EQ(Settings().find("\nPasswd001=a\n"), std::string::npos); // never in clear
    Ini.Load();
    ASSERT_EQ(ProxyList.Count(), static_cast<int>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(ProxyList.At(static_cast<int>(i)).Passwd, rows[i].second) << i;
    }
    Load("[Proxy]\nCount=2\nPasswd000=YWJj*ZGVm\nPasswd001=YQBi\n");
    EXPECT_EQ(ProxyList.At(0).Passwd, "abc");
    EXPECT_EQ(ProxyList.At(1).Passwd, "a");
}

TEST_F(IniFileTest, InitReadsTheFileNotTheList) {
    Load(Entries({"a", "b"}));
    Put(kSettingsFileName, Entries({"a", "edited"}));
    ProxyData entry;
    entry.Init(1);
    EXPECT_EQ(entry.Index, 1);
    EXPECT_EQ(entry.Domain, "edited.example");
    EXPECT_EQ(ProxyList.At(1).Domain, "b.example");
    entry.Init(5);
    EXPECT_EQ(entry.Method, MethodNone);
    EXPECT_EQ(entry.Port, 1);
    entry.Init(-1);
    EXPECT_EQ(entry, ProxyData{});
    EXPECT_EQ(entry.Method, MethodAuto);
    EXPECT_EQ(entry.Port, 25);
}

TEST_F(IniFileTest, WindowAndOptionKeysInOrderDebugWriteNeverWritten) {
    Ini.Load();
    Ini.ListenAddress = "0.0.0.0";
    Ini.ListenPort = 2525;
    Ini.SaveOption();
    Ini.Left = -5;
    Ini.Top = 10;
    Ini.Width = 640;
    Ini.Height = 480;
    Ini.DebugWrite = 2;
    Ini.SaveWindow();
    EXPECT_EQ(Settings(), "[Option]\nListenAddress=0.0.0.0\nListenPort=2525\n\n"
                          "[Program]\nLeft=-5\nTop=10\nWidth=640\nHeight=480\n");
    EXPECT_EQ(Mode(kSettingsFileName), 0600u);
}

TEST_F(IniFileTest, TenThousandEntriesLoadSaveAndDelete) {
    // Once quadratic: the entry cap took minutes at start-up. The times are shown, not asserted.
    std::vector<std::string> tags;
    for (int i = 0; i < kMaxEntries; ++i) {
        tags.push_back("e" + std::to_string(i));
    }
    Put(kSettingsFileName, Entries(tags));
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Ini.Load();
    const auto loaded = Clock::now();
    ProxyList.Erase(0);
    Ini.SaveList();
    const auto deleted = Clock::now();
    std::cout << "load " << std::chrono::duration<double, std::milli>(loaded - start).count()
              << " ms, delete "
              << std::chrono::duration<double, std::milli>(deleted - loaded).count() << " ms\n";
    Ini.Load();
    ASSERT_EQ(ProxyList.Count(), kMaxEntries - 1);
    EXPECT_EQ(ProxyList.At(kMaxEntries - 2).Domain, "e9999.example");
    EXPECT_EQ(Settings().find("Domain9999"), std::string::npos);
}

TEST_F(IniFileTest, UnwritableFileChangesNothingAndDoesNotCrash) {
    ASSERT_TRUE(std::filesystem::create_directories(std::string(kSettingsFileName) + "/x"));
    Ini.Load();
    EXPECT_EQ(Ini.ListenPort, 25);
    Ini.ListenPort = 26;
    Ini.SaveOption();
    ProxyList.Add(Entry("a")).Save();
    Ini.SaveList();
    Ini.SaveWindow();
    EXPECT_EQ(Ini.ListenPort, 26);
    EXPECT_TRUE(std::filesystem::is_directory(std::string(kSettingsFileName) + "/x"));
}

TEST_F(IniFileTest, WorkingDirectoryPathOfAnyLength) {
    std::filesystem::path deep = dir_;
    for (int i = 0; i < 6; ++i) {
        deep /= std::string(100, static_cast<char>('a' + i));
    }
    std::filesystem::create_directories(deep);
    std::filesystem::current_path(deep);
    Ini.Load();
    EXPECT_EQ(Ini.Path, deep.string() + "/Vellomir.ini");
    Ini.SaveOption();
    EXPECT_EQ(Get(Ini.Path).substr(0, 9), "[Option]\n");

    std::filesystem::path gone = dir_ / "gone";
    std::filesystem::create_directory(gone);
    std::filesystem::current_path(gone);
    std::filesystem::remove(gone);
    Ini.Load();
    EXPECT_EQ(Ini.CurrentDir, ".");
    EXPECT_EQ(Ini.Path, "./Vellomir.ini");
}

TEST(MethodNameTest, NamesEveryCode) {
    struct Row {
        std::int32_t code;
        const char* name;
    } rows[] = {{0, "NONE"},    {1, "AUTO"}, {2, "LOGIN"}, {3, "PLAIN"}, {4, "CRAM-MD5"},
                {5, "XOAUTH2"}, {6, "AUTO"}, {8, "AUTO"},  {-1, "AUTO"}};
    for (const Row& row : rows) {
        EXPECT_STREQ(IniFile::MethodName(row.code), row.name) << row.code;
    }
}

} // namespace
