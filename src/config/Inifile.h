// The settings file Vellomir.ini and the global settings it holds.
//
// One global object, Ini, carries every read and write of the file, including the proxy entries.
// Used on the user-interface thread only (and by tests); MethodName may be called from any thread.
// A missing or unreadable file reads as the defaults. A failed save is traced on the diagnostic
// channel and leaves the file as it was; the fields and the list keep the change, and only
// SaveList and SaveKeyringAndList tell the caller. Every save writes only the keys it is about,
// onto the file as it is on disk at that moment, so it never brings back what an earlier failed
// save meant to write.
#pragma once

#include <cstdint>
#include <string>

#include "config/ProfileFile.h"
#include "config/Proxydata.h"

inline constexpr const char* kSettingsFileName = "Vellomir.ini";
// A larger "Count" can only come from a damaged file; loading stops at this many entries.
inline constexpr std::int32_t kMaxEntries = 10000;

class IniFile {
  public:
    explicit IniFile(ProxyDataList& list) : list_(list) {}

    std::string Path;       // full path of the settings file, fixed at Load
    std::string CurrentDir; // working directory at Load
    std::int32_t DebugWrite = 0;
    std::int32_t Left = 0;
    std::int32_t Top = 0;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::string ListenAddress;
    std::int32_t ListenPort = 0;
    // [Option] Keyring: 1 keeps the entries' secrets in the desktop keyring, and the file holds
    // their keys empty; 0 (the default) keeps them in the file.
    std::int32_t Keyring = 0;

    // Sets CurrentDir and Path, reads "Program" and "Option", then LoadList.
    void Load();
    // Writes Left, Top, Width, Height of "Program"; flushes.
    void SaveWindow();
    // Writes ListenAddress and ListenPort of "Option"; flushes.
    void SaveOption();
    // Writes Keyring of "Option" and rewrites the "Proxy" section (the secrets in it or not, as
    // Keyring says), in one save. Gives false when the save failed (the file is as it was).
    bool SaveKeyringAndList();
    // Writes DebugWrite of "Program" (the log window's choice); flushes.
    void SaveDebugWrite();
    // Reads the keys of entry n into `entry`, leaving its Index alone.
    void LoadEntry(std::int32_t n, ProxyData& entry);
    // Writes the keys of entry n; with `withCount` also "Count" (the larger of the list's
    // count and n + 1), then flushes.
    void SaveEntry(std::int32_t n, const ProxyData& entry, bool withCount);
    // Removes every key of entry n; does not flush.
    void DeleteEntry(std::int32_t n);
    // Rebuilds the list from the "Proxy" section.
    void LoadList();
    // Rewrites the "Proxy" section from the list; flushes. Gives false when the save failed.
    bool SaveList();

    // "NONE", "AUTO", "LOGIN", "PLAIN", "CRAM-MD5", "XOAUTH2" for 0..5; "AUTO" for any other code.
    static const char* MethodName(std::int32_t code);

  private:
    ProxyDataList& list_;
    ProfileFile file_;
};

// The one settings object of the process; works on ProxyList.
extern IniFile Ini;
