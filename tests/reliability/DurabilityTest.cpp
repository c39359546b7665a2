// The settings file under sudden death: a process killed at any point of a save leaves the file
// whole (the old content or the new, never torn or empty), and a new file is private to its user.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "ProcessState.h"
#include "config/Inifile.h"
#include "config/ProfileFile.h"
#include "config/Proxydata.h"

namespace {

using namespace testsupport;

// Generation g of the settings: its entry count and every value derive from g, so one read of
// the file tells which save it came from and whether anything in it is out of step.
int EntriesOf(int g) {
    return 1 + g % 7;
}

ProxyData EntryOf(int g, int i) {
    ProxyData entry;
    entry.Index = i;
    entry.Domain = "gen" + std::to_string(g) + "-" + std::to_string(i) + ".example";
    entry.SMTP = "smtp" + std::to_string(g) + ".example";
    entry.Method = (g + i) % 5;
    entry.User = "user" + std::to_string(g);
    // Long enough that a torn write is likely to land inside a value.
    entry.Passwd = "pw" + std::to_string(g) + std::string(150, static_cast<char>('a' + g % 26));
    entry.Port = 1000 + g;
    return entry;
}

// Child body: saves generation after generation until killed. The first save is announced on
// `ready` so the parent only kills once there is an old content to keep.
[[noreturn]] void SaveForever(const std::string& dir, int firstGeneration, int ready) {
    if (::chdir(dir.c_str()) != 0) {
        ::_exit(2);
    }
    ProxyDataList list;
    IniFile ini(list);
    ini.Load();
    for (int g = firstGeneration; g < firstGeneration + 100000; ++g) {
        list.Clear();
        for (int i = 0; i < EntriesOf(g); ++i) {
            list.Append(EntryOf(g, i));
        }
        ini.SaveList();
        ini.ListenAddress = "127.0.0." + std::to_string(1 + g % 200);
        ini.ListenPort = 2000 + g;
        ini.SaveOption();
        if (g == firstGeneration) {
            const char byte = 1;
            (void)!::write(ready, &byte, 1);
            ::close(ready);
        }
    }
    ::_exit(0);
}

// The generation the file holds, or a description of what is wrong with it. The option keys
// are written by a second flush, so they may still be one generation behind the entries.
std::string CheckFile(const std::string& dir, int* generation) {
    const std::string path = dir + "/" + kSettingsFileName;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return "settings file missing";
    }
    if (st.st_size == 0) {
        return "settings file empty";
    }
    ProfileFile file(path);
    const std::string first = file.Read("Proxy", "Domain000");
    int g = -1;
    if (std::sscanf(first.c_str(), "gen%d-0.example", &g) != 1) {
        return "first entry unreadable: '" + first + "'";
    }
    if (ProfileInt(file.Read("Proxy", "Count"), -1) != EntriesOf(g)) {
        return "Count out of step with generation " + std::to_string(g);
    }
    ProxyDataList list;
    IniFile ini(list);
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    ini.Load();
    std::filesystem::current_path(cwd);
    if (list.Count() != EntriesOf(g)) {
        return "loaded entry count out of step";
    }
    for (int i = 0; i < EntriesOf(g); ++i) {
        if (!(list.At(i) == EntryOf(g, i))) {
            return "entry " + std::to_string(i) + " torn in generation " + std::to_string(g);
        }
    }
    if (ini.ListenPort != 2000 + g && ini.ListenPort != 2000 + g - 1) {
        return "ListenPort " + std::to_string(ini.ListenPort) + " out of step with generation " +
               std::to_string(g);
    }
    *generation = g;
    return "";
}

TEST(SettingsDurability, KilledSaverNeverLeavesATornOrEmptyFile) {
    TempDir dir;
    std::mt19937 random(12345);
    constexpr int kKills = 220;
    int firstGeneration = 0;
    int survived = 0;
    int killedMidSave = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            SaveForever(dir.path(), firstGeneration, pipeFds[1]);
        }
        ::close(pipeFds[1]);
        char byte = 0;
        ASSERT_EQ(::read(pipeFds[0], &byte, 1), 1) << "child failed before its first save";
        ::close(pipeFds[0]);
        // 0..4 ms: a save with fsync takes about that long, so kills land all over it.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        killedMidSave += WIFSIGNALED(status) ? 1 : 0;

        int generation = -1;
        const std::string fault = CheckFile(dir.path(), &generation);
        ASSERT_EQ(fault, "") << "after kill " << kill;
        ASSERT_GE(generation, firstGeneration);
        ++survived;
        firstGeneration = generation + 1;
    }
    EXPECT_EQ(survived, kKills);
    EXPECT_EQ(killedMidSave, kKills);
    // Report figures for the reliability summary.
    int strays = 0;
    for (const auto& item : std::filesystem::directory_iterator(dir.path())) {
        strays += item.path().filename() != kSettingsFileName ? 1 : 0;
    }
    // A save cut short may leave its one temporary file (owner-only), never a trail of copies.
    EXPECT_LE(strays, 1);
    RecordProperty("kills", survived);
    RecordProperty("generations", firstGeneration);
    RecordProperty("stray_temporary_files", strays);
    std::printf("kills survived: %d, generations saved: %d, stray temporary files: %d\n", survived,
                firstGeneration, strays);
}

TEST(SettingsDurability, NewSettingsFileIsPrivateWhateverTheUmask) {
    TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::umask(0);
        if (::chdir(dir.path().c_str()) != 0) {
            ::_exit(2);
        }
        ProxyDataList list;
        IniFile ini(list);
        ini.Load();
        ProxyData entry = EntryOf(1, 0);
        list.Append(entry);
        ini.SaveEntry(0, entry, true);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() + "/" + kSettingsFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

} // namespace
