#include "config/Inifile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "Limits.h"
#include "codec/Base64.h"
#include "codec/Wipe.h"
#include "diag/Proginit.h"

IniFile Ini{ProxyList};

namespace {

constexpr const char* kProgram = "Program";
constexpr const char* kOption = "Option";
constexpr const char* kProxy = "Proxy";
constexpr const char* kDefaultListenAddress = "127.0.0.1";

std::string EntryKey(const char* name, std::int32_t n) {
    char key[32];
    std::snprintf(key, sizeof key, "%s%03d", name, n);
    return key;
}

// Every key of one entry, in the order they are written; removed together.
constexpr const char* kEntryKeys[] = {"Domain",
                                      "SMTP",
                                      "Method",
                                      "User",
                                      "Passwd",
                                      "Port",
                                      "Security",
                                      "CAFile",
                                      "Fingerprint",
                                      "OAuthAuthUrl",
                                      "OAuthTokenUrl",
                                      "OAuthClientId",
                                      "OAuthClientSecret",
                                      "OAuthScope",
                                      "OAuthRefresh"};

// OAuth secrets: Base64 in the file like the password, but up to kOAuthValueMax characters.
// A text that is not valid Base64 yields what decoded before the fault (the result code only
// tells that, so it is not looked at); a secret ends at its first zero byte.
std::string DecodeSecret(std::string text) {
    std::string clear(Base64DecodedSize(text.size()), '\0');
    (void)Base64Decode(text.c_str(), reinterpret_cast<unsigned char*>(clear.data()), clear.size());
    Wipe(text);
    const std::size_t length = std::strlen(clear.c_str());
    Wipe(clear.data() + length, clear.size() - length);
    clear.resize(length);
    return clear;
}

std::string EncodeSecret(std::string_view clear) {
    std::string text(Base64EncodedSize(clear.size()), '\0');
    if (!Base64EncodeBytes(clear.data(), text.data(), static_cast<int>(clear.size()),
                           text.size())) {
        return {};
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::int32_t KnownSecurity(std::int32_t code) {
    return code == SecurityStartTls || code == SecurityTls ? code : SecurityNone;
}

std::string Decimal(std::int32_t value) {
    return std::to_string(value);
}

// The working directory, however long its path.
bool WorkingDirectory(std::string& dir) {
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            dir = buffer.data();
            return true;
        }
        if (errno != ERANGE) {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Keeps groups of reads on one state of the file, read from disk once.
class DiskView {
  public:
    explicit DiskView(ProfileFile& file) : file_(file) { file_.HoldDiskView(); }
    ~DiskView() { file_.ReleaseDiskView(); }
    DiskView(const DiskView&) = delete;
    DiskView& operator=(const DiskView&) = delete;

  private:
    ProfileFile& file_;
};

} // namespace

void IniFile::Load() {
    if (!WorkingDirectory(CurrentDir)) {
        DebugLogEarly("GetCurrentDirError: %s", std::strerror(errno));
        CurrentDir.assign(1, '.');
    }
    Path = CurrentDir + "/" + kSettingsFileName;
    file_.SetPath(Path);

    DiskView view(file_);
    DebugWrite = ProfileInt(file_.Read(kProgram, "DebugWrite"), 0);
    Left = ProfileInt(file_.Read(kProgram, "Left"), 200);
    Top = ProfileInt(file_.Read(kProgram, "Top"), 200);
    Width = ProfileInt(file_.Read(kProgram, "Width"), 0);
    Height = ProfileInt(file_.Read(kProgram, "Height"), 0);
    ListenAddress = file_.Read(kOption, "ListenAddress");
    if (ListenAddress.empty()) {
        ListenAddress = kDefaultListenAddress;
    }
    ListenPort = ProfileInt(file_.Read(kOption, "ListenPort"), 25);
    Keyring = ProfileInt(file_.Read(kOption, "Keyring"), 0) == 1 ? 1 : 0;
    LoadList();
}

void IniFile::SaveWindow() {
    file_.Write(kProgram, "Left", Decimal(Left));
    file_.Write(kProgram, "Top", Decimal(Top));
    file_.Write(kProgram, "Width", Decimal(Width));
    file_.Write(kProgram, "Height", Decimal(Height));
    file_.Flush();
}

void IniFile::SaveOption() {
    file_.Write(kOption, "ListenAddress", ListenAddress);
    file_.Write(kOption, "ListenPort", Decimal(ListenPort));
    file_.Flush();
}

bool IniFile::SaveKeyringAndList() {
    file_.Write(kOption, "Keyring", Decimal(Keyring));
    return SaveList();
}

void IniFile::SaveDebugWrite() {
    file_.Write(kProgram, "DebugWrite", Decimal(DebugWrite));
    file_.Flush();
}

void IniFile::LoadEntry(std::int32_t n, ProxyData& entry) {
    DiskView view(file_);
    entry.Domain = file_.Read(kProxy, EntryKey("Domain", n));
    entry.SMTP = file_.Read(kProxy, EntryKey("SMTP", n));
    entry.Method = ProfileInt(file_.Read(kProxy, EntryKey("Method", n)), MethodNone);
    entry.User = file_.Read(kProxy, EntryKey("User", n));

    entry.Passwd = DecodeSecret(file_.Read(kProxy, EntryKey("Passwd", n)));

    entry.Port = ProfileInt(file_.Read(kProxy, EntryKey("Port", n)), 1);
    entry.Security = KnownSecurity(ProfileInt(file_.Read(kProxy, EntryKey("Security", n)), 0));
    entry.CAFile = file_.Read(kProxy, EntryKey("CAFile", n));
    entry.Fingerprint = file_.Read(kProxy, EntryKey("Fingerprint", n));
    const auto oauth = [&](const char* name) {
        return file_.Read(kProxy, EntryKey(name, n), limits::kOAuthValueMax);
    };
    entry.OAuthAuthUrl = oauth("OAuthAuthUrl");
    entry.OAuthTokenUrl = oauth("OAuthTokenUrl");
    entry.OAuthClientId = oauth("OAuthClientId");
    entry.OAuthClientSecret = DecodeSecret(oauth("OAuthClientSecret"));
    entry.OAuthScope = oauth("OAuthScope");
    entry.OAuthRefresh = DecodeSecret(oauth("OAuthRefresh"));
}

void IniFile::SaveEntry(std::int32_t n, const ProxyData& entry, bool withCount) {
    file_.Write(kProxy, EntryKey("Domain", n), entry.Domain);
    file_.Write(kProxy, EntryKey("SMTP", n), entry.SMTP);
    file_.Write(kProxy, EntryKey("Method", n), Decimal(entry.Method));
    file_.Write(kProxy, EntryKey("User", n), entry.User);

    // One settings value holds the Base64 of at most kPasswordMax bytes; a longer password is
    // stored cut to that length rather than as a text that would decode to garbage.
    // With the keyring on, the secrets live there and their keys stay empty here, whatever
    // happened to the keyring: never a copy in clear as a fall-back.
    const bool secretsInFile = Keyring == 0;
    std::size_t length =
        secretsInFile ? std::min(entry.Passwd.size(), limits::kPasswordMax) : std::size_t{0};
    if (length < entry.Passwd.size() && secretsInFile) {
        DebugLog("IniPasswdCut(%03d)", n);
    }
    std::string encoded = EncodeSecret(std::string_view(entry.Passwd).substr(0, length));
    file_.Write(kProxy, EntryKey("Passwd", n), encoded);
    Wipe(encoded);

    file_.Write(kProxy, EntryKey("Port", n), Decimal(entry.Port));
    file_.Write(kProxy, EntryKey("Security", n), Decimal(KnownSecurity(entry.Security)));
    file_.Write(kProxy, EntryKey("CAFile", n), entry.CAFile);
    file_.Write(kProxy, EntryKey("Fingerprint", n), entry.Fingerprint);
    const auto writeSecret = [&](const char* name, const std::string& secret) {
        std::string text = secretsInFile ? EncodeSecret(secret) : std::string();
        if (text.size() > limits::kOAuthValueMax) {
            // The file could not give it back whole; an empty value asks for a new sign-in
            // instead of keeping a token that would be refused.
            DebugLog("IniOAuthValueCut(%03d)", n);
            Wipe(text);
        }
        file_.Write(kProxy, EntryKey(name, n), text);
        Wipe(text);
    };
    file_.Write(kProxy, EntryKey("OAuthAuthUrl", n), entry.OAuthAuthUrl);
    file_.Write(kProxy, EntryKey("OAuthTokenUrl", n), entry.OAuthTokenUrl);
    file_.Write(kProxy, EntryKey("OAuthClientId", n), entry.OAuthClientId);
    writeSecret("OAuthClientSecret", entry.OAuthClientSecret);
    file_.Write(kProxy, EntryKey("OAuthScope", n), entry.OAuthScope);
    writeSecret("OAuthRefresh", entry.OAuthRefresh);
    if (withCount) {
        file_.Write(kProxy, "Count", Decimal(std::max(list_.Count(), n + 1)));
        file_.Flush();
    }
}

void IniFile::DeleteEntry(std::int32_t n) {
    for (const char* name : kEntryKeys) {
        file_.Remove(kProxy, EntryKey(name, n));
    }
}

void IniFile::LoadList() {
    DiskView view(file_);
    std::int32_t count = ProfileInt(file_.Read(kProxy, "Count"), 0);
    if (count > kMaxEntries) {
        // Only a damaged file holds such a count; it must not make the program hang or run out
        // of memory building empty entries.
        DebugLogEarly("IniCountCut(%d)", count);
        count = kMaxEntries;
    }
    list_.Clear();
    for (std::int32_t i = 0; i < count; ++i) {
        ProxyData entry;
        entry.Index = i;
        LoadEntry(i, entry);
        list_.Append(entry);
    }
}

bool IniFile::SaveList() {
    // One copy of the list, so that the count and the entries written agree.
    std::vector<ProxyData> entries = list_.Snapshot();
    std::int32_t m = static_cast<std::int32_t>(entries.size());
    file_.Write(kProxy, "Count", Decimal(m));
    for (std::int32_t i = 0; i < m; ++i) {
        SaveEntry(i, entries[static_cast<std::size_t>(i)], false);
    }
    DeleteEntry(m);
    return file_.Flush();
}

const char* IniFile::MethodName(std::int32_t code) {
    switch (code) {
    case MethodNone:
        return "NONE";
    case MethodLogin:
        return "LOGIN";
    case MethodPlain:
        return "PLAIN";
    case MethodCramMd5:
        return "CRAM-MD5";
    case MethodXoauth2:
        return "XOAUTH2";
    default:
        return "AUTO";
    }
}
