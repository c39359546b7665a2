// The settings file under arbitrary bytes: whatever Vellomir.ini holds, loading it must not crash
// or hang, saving what was loaded and loading again must give the same settings and entries, and
// a second save must not change the file any further.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "config/Inifile.h"
#include "config/ProfileFile.h"
#include "config/Proxydata.h"

namespace {

// Loading makes one entry per number below "Count"; beyond this the input only measures how long
// a huge list takes to build, which is not what this target looks for.
constexpr std::int32_t kFuzzMaxEntries = 64;

struct Loaded {
    std::int32_t DebugWrite, Left, Top, Width, Height, ListenPort;
    std::string ListenAddress;
    std::vector<ProxyData> Entries;
    bool operator==(const Loaded&) const = default;
};

Loaded LoadFile() {
    ProxyDataList list;
    IniFile ini(list);
    ini.Load();
    return Loaded{ini.DebugWrite, ini.Left,       ini.Top,           ini.Width,
                  ini.Height,     ini.ListenPort, ini.ListenAddress, list.Snapshot()};
}

// Saves everything the program ever writes: the window, the options and the whole entry list.
void SaveAll(const Loaded& loaded) {
    ProxyDataList list;
    for (const ProxyData& entry : loaded.Entries) {
        list.Append(entry);
    }
    IniFile ini(list);
    ini.Load(); // fixes Path; the list is rebuilt from the file, so put ours back afterwards
    list.Clear();
    for (const ProxyData& entry : loaded.Entries) {
        list.Append(entry);
    }
    ini.Left = loaded.Left;
    ini.Top = loaded.Top;
    ini.Width = loaded.Width;
    ini.Height = loaded.Height;
    ini.ListenAddress = loaded.ListenAddress;
    ini.ListenPort = loaded.ListenPort;
    ini.SaveWindow();
    ini.SaveOption();
    ini.SaveList();
}

std::string FileBytes() {
    std::ifstream in(kSettingsFileName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Load reads Vellomir.ini from the working directory: give the target one of its own, in
    // memory where there is a tmpfs, since every save syncs the file to disk.
    char shm[] = "/dev/shm/vellomir-fuzz-settings-XXXXXX";
    char tmp[] = "/tmp/vellomir-fuzz-settings-XXXXXX";
    const char* dir = mkdtemp(shm);
    if (dir == nullptr) {
        dir = mkdtemp(tmp);
    }
    if (dir == nullptr || chdir(dir) != 0) {
        std::abort();
    }
    static std::string ownDir = dir;
    std::atexit([] { std::filesystem::remove_all(ownDir); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(kSettingsFileName, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    {
        ProfileFile probe(kSettingsFileName);
        if (ProfileInt(probe.Read("Proxy", "Count"), 0) > kFuzzMaxEntries) {
            return -1; // not added to the corpus
        }
    }
    const Loaded first = LoadFile();
    check(first.Entries.size() <= static_cast<std::size_t>(kFuzzMaxEntries), "entry count");
    for (std::size_t i = 0; i < first.Entries.size(); ++i) {
        check(first.Entries[i].Index == static_cast<std::int32_t>(i), "Index is the position");
    }

    SaveAll(first);
    const std::string savedOnce = FileBytes();
    const Loaded second = LoadFile();
    check(second.ListenAddress == first.ListenAddress, "ListenAddress survives a save");
    check(second.ListenPort == first.ListenPort, "ListenPort survives a save");
    check(second.Left == first.Left && second.Top == first.Top && second.Width == first.Width &&
              second.Height == first.Height,
          "window placement survives a save");
    check(second.DebugWrite == first.DebugWrite, "DebugWrite is never changed by a save");
    check(second.Entries.size() == first.Entries.size(), "entry count survives a save");
    for (std::size_t i = 0; i < first.Entries.size(); ++i) {
        const ProxyData& a = first.Entries[i];
        const ProxyData& b = second.Entries[i];
        check(a.Domain == b.Domain, "Domain survives a save");
        check(a.SMTP == b.SMTP, "SMTP survives a save");
        check(a.Method == b.Method, "Method survives a save");
        check(a.User == b.User, "User survives a save");
        check(a.Passwd == b.Passwd, "Passwd survives a save");
        check(a.Port == b.Port, "Port survives a save");
    }

    SaveAll(second);
    check(FileBytes() == savedOnce, "saving what was loaded from a saved file changes nothing");
    return 0;
}
