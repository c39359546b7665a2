// Modes that write nothing, the proof that nothing is formatted then, and the debugger mode
// (standard error).
#include "DiagTestSupport.h"

#include <atomic>
#include <csignal>
#include <functional>
#include <printf.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using diagtest::ChannelTest;
using diagtest::Exists;
using diagtest::ReadWholeFile;

// A printf conversion "%W" that counts how often the C library formats it: the only way to see
// whether a writer formatted its arguments.
std::atomic<int> g_formatted{0};

int PrintProbe(FILE* stream, const printf_info*, const void* const*) {
    ++g_formatted;
    return std::fputs("probe", stream) >= 0 ? 5 : -1;
}

int ProbeArguments(const printf_info*, std::size_t count, int* types, int*) {
    if (count > 0) {
        types[0] = PA_INT;
    }
    return 1;
}

void RegisterProbe() {
    static const bool registered = [] {
        return register_printf_specifier('W', PrintProbe, ProbeArguments) == 0;
    }();
    ASSERT_TRUE(registered);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
void TraceProbeThroughBothWriters() {
    DebugLog("%W", 1);
    DebugLogRaw("%W", 2);
}
#pragma GCC diagnostic pop

struct OffSetUp {
    const char* name;
    std::function<void()> setUp;
};

class OffModeTest : public ChannelTest, public ::testing::WithParamInterface<OffSetUp> {};

// Each row first points the channel at a log file, then sets it up in a way that means off.
TEST_P(OffModeTest, CreatesNothingAndFormatsNothing) {
    RegisterProbe();
    const std::string log = dir.File("debugw.log");
    DebugSetup(DebugFile, log.c_str());
    GetParam().setUp();

    g_formatted = 0;
    TraceProbeThroughBothWriters();
    EXPECT_FALSE(DebugEnabled());
    EXPECT_EQ(g_formatted.load(), 0);
    EXPECT_FALSE(Exists(log));
    EXPECT_FALSE(Exists("debugw.log")); // nothing in the working directory either
}

INSTANTIATE_TEST_SUITE_P(
    SetUps, OffModeTest,
    ::testing::Values(OffSetUp{"ModeZero", [] { DebugSetup(DebugOff); }},
                      OffSetUp{"ModeFive", [] { DebugSetup(5); }},
                      OffSetUp{"ModeMinusOne", [] { DebugSetup(-1); }},
                      OffSetUp{"ModeFiveWithFileName", [] { DebugSetup(5, "debugw.log"); }},
                      OffSetUp{"ModeMinusOneWithHost", [] { DebugSetup(-1, 4000, "127.0.0.1"); }},
                      OffSetUp{"ModeFiveWithPort", [] { DebugSetup(5, "COM1", 1); }},
                      OffSetUp{"FileNameTooLong",
                               [] { DebugSetup(DebugFile, std::string(5000, 'n').c_str()); }},
                      OffSetUp{"NullFileName", [] { DebugSetup(DebugFile, nullptr); }},
                      OffSetUp{"Reset", [] { DebugResetForTest(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelTest, ProbeIsFormattedOnceWhileTheChannelIsOn) {
    RegisterProbe();
    const std::string log = dir.File("on.log");
    DebugSetup(DebugFile, log.c_str());
    g_formatted = 0;
    TraceProbeThroughBothWriters();
    EXPECT_EQ(g_formatted.load(), 2);
    EXPECT_EQ(ReadWholeFile(log), "probe\r\nprobe");
}

TEST_F(ChannelTest, LaterSetUpClosesTheOpenLogAndTakesTheNewDestination) {
    const std::string first = dir.File("first.log");
    const std::string second = dir.File("second.log");
    DebugSetup(DebugFile, first.c_str());
    DebugLog("one");
    DebugSetup(DebugFile, second.c_str());
    DebugLog("two");
    EXPECT_EQ(ReadWholeFile(first), "one\r\n");
    EXPECT_EQ(ReadWholeFile(second), "two\r\n");
}

// Runs the body with standard error redirected into a pipe and returns what arrived there.
std::string CaptureStandardError(const std::function<void()>& body) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return "pipe failed";
    }
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[1]);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string captured;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        captured.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    return captured;
}

TEST_F(ChannelTest, DebuggerModeWritesLinesToStandardError) {
    const std::string captured = CaptureStandardError([] {
        DebugSetup(DebugDebugger);
        DebugLog("Start:");
        DebugLogRaw("send:%s", "QUIT\n");
    });
    EXPECT_EQ(captured, "Start:\r\nsend:QUIT\n");
}

TEST_F(ChannelTest, DebuggerModeSurvivesStandardErrorWithoutReader) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            _exit(2);
        }
        signal(SIGPIPE, SIG_DFL);
        close(pipeFds[0]);
        dup2(pipeFds[1], STDERR_FILENO);
        DebugSetup(DebugDebugger);
        DebugLog("nobody reads this");
        DebugLog("nor this");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The log window's tap sees every line while the channel is off, and once it is removed nothing
// is formatted any more.
TEST_F(ChannelTest, TapSeesLinesWhileOffAndCostsNothingOnceRemoved) {
    RegisterProbe();
    static std::vector<std::string> seen;
    seen.clear();
    DebugSetup(DebugOff);
    DebugSetTap(
        [](void*, const char* line, std::size_t length) { seen.emplace_back(line, length); },
        nullptr);
    EXPECT_TRUE(DebugEnabled());
    DebugLog("one %d", 1);
    DebugLogRaw("send:%s", "EHLO \x1b[2Jx\n");
    DebugSetTap(nullptr, nullptr);
    g_formatted = 0;
    TraceProbeThroughBothWriters();
    EXPECT_EQ(g_formatted.load(), 0);
    EXPECT_FALSE(DebugEnabled());
    const std::vector<std::string> expected = {"one 1", "send:EHLO \\x1b[2Jx"};
    EXPECT_EQ(seen, expected);
}

} // namespace
