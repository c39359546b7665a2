// File mode: when the log is created, what reaches it, and whole lines under concurrent writers.
#include "DiagTestSupport.h"

#include "Limits.h"

#include <filesystem>
#include <functional>
#include <latch>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using diagtest::ChannelTest;
using diagtest::Exists;
using diagtest::ReadWholeFile;

using FileModeTest = ChannelTest;

TEST_F(FileModeTest, LogIsEmptiedByTheFirstLineNotBySetUpAndTakesBothWriters) {
    const std::string log = dir.File("debugw.log");
    std::ofstream(log) << "previous run\n";

    DebugSetup(DebugFile, log.c_str());
    EXPECT_EQ(ReadWholeFile(log), "previous run\n");

    DebugLog("Start:");
    EXPECT_EQ(ReadWholeFile(log), "Start:\r\n");
    DebugLogRaw("send:%s", "250 OK\n");
    DebugLog("n=%d", 3);
    EXPECT_EQ(ReadWholeFile(log), "Start:\r\nsend:250 OK\nn=3\r\n");
}

TEST_F(FileModeTest, NewLogIsCreatedByARawLineAndReadableByTheUserOnly) {
    const std::string log = dir.File("new.log");
    DebugSetup(DebugFile, log.c_str());
    EXPECT_FALSE(Exists(log));

    DebugLogRaw("x");
    EXPECT_EQ(ReadWholeFile(log), "x");
    struct stat info {};
    ASSERT_EQ(stat(log.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

struct OpenObstacle {
    const char* name;
    std::function<std::string(const std::string& dir)> place; // returns the log path
    std::function<void(const std::string& dir)> remove;
};

class FailedOpenTest : public ChannelTest, public ::testing::WithParamInterface<OpenObstacle> {};

TEST_P(FailedOpenTest, LinesAreDroppedAndALaterLineOpensOnceTheObstacleIsGone) {
    const std::string log = GetParam().place(dir.Path());
    DebugSetup(DebugFile, log.c_str());
    DebugLog("lost %d", 1);
    DebugLogRaw("lost %d\n", 2);
    DebugLog("lost %d", 3);

    GetParam().remove(dir.Path());
    DebugLogRaw("kept ");
    DebugLog("line");
    EXPECT_EQ(ReadWholeFile(log), "kept line\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Obstacles, FailedOpenTest,
    ::testing::Values(
        OpenObstacle{"DirectoryInTheWay",
                     [](const std::string& d) {
                         std::filesystem::create_directory(d + "/log");
                         return d + "/log";
                     },
                     [](const std::string& d) { std::filesystem::remove(d + "/log"); }},
        OpenObstacle{"MissingParentDirectory", [](const std::string& d) { return d + "/sub/log"; },
                     [](const std::string& d) { std::filesystem::create_directory(d + "/sub"); }},
        OpenObstacle{"FifoWithoutReader",
                     [](const std::string& d) {
                         mkfifo((d + "/log").c_str(), 0600);
                         return d + "/log";
                     },
                     [](const std::string& d) { std::filesystem::remove(d + "/log"); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileModeTest, PlantedLinkOrForeignLogIsNeitherEmptiedNorWritten) {
    const std::string log = dir.File("debugw.log");
    const std::string victim = dir.File("bashrc");
    std::ofstream(victim) << "mine\n";
    ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
    DebugSetup(DebugFile, log.c_str());
    DebugLog("echo owned");
    EXPECT_EQ(ReadWholeFile(victim), "mine\n");

    std::filesystem::remove(log);
    std::ofstream(log) << "theirs\n";
    if (chown(log.c_str(), geteuid() + 1, getegid()) != 0) {
        GTEST_SKIP() << "only root can give a file to another user";
    }
    DebugLog("echo owned");
    EXPECT_EQ(ReadWholeFile(log), "theirs\n");
}

TEST_F(FileModeTest, ControlBytesAreEscapedAndLinesOfEarlyStartFollowTheFirstLine) {
    const std::string log = dir.File("debugw.log");
    DebugLogEarly("early %d", 1);
    DebugLogEarly("early\x1b%d", 2);
    DebugSetup(DebugFile, log.c_str());
    DebugLog("Start:");
    DebugLog("recv:%s", "\x1b[2Jcls\rx\ty\x7f\n");
    DebugLogRaw("send:%s", "250 a\x01\r\n");
    DebugLogRaw("send:%s", "QUIT\n");
    DebugLogEarly("late");
    EXPECT_EQ(ReadWholeFile(log), "Start:\r\nearly 1\r\nearly\\x1b2\r\n"
                                  "recv:\\x1b[2Jcls\\x0dx\ty\\x7f\\x0a\r\n"
                                  "send:250 a\\x01\r\nsend:QUIT\nlate\r\n");
}

TEST_F(FileModeTest, LogPastItsCapMovesToDotOneAndANewOneStarts) {
    const std::string log = dir.File("debugw.log");
    std::ofstream(log + ".1") << "older run\n";
    DebugSetup(DebugFile, log.c_str());
    const std::string text(998, 'x'); // 1000 bytes with CR LF
    const std::size_t lines = limits::kTraceFileMax / 1000 + 1;
    for (std::size_t i = 0; i < lines; ++i) {
        DebugLog("%s", text.c_str());
    }
    DebugLog("next");
    EXPECT_EQ(std::filesystem::file_size(log + ".1"), lines * 1000);
    EXPECT_EQ(ReadWholeFile(log), "next\r\n");
}

struct CutCase {
    const char* name;
    bool raw;
    std::size_t textLength;
    std::string expected;
};

class LineLengthTest : public ChannelTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(LineLengthTest, TextBeyondOneThousandCharactersIsDroppedBeforeTheLineEnd) {
    const std::string log = dir.File("cut.log");
    const std::string text(GetParam().textLength, 'a');
    DebugSetup(DebugFile, log.c_str());
    if (GetParam().raw) {
        DebugLogRaw("%s", text.c_str());
    } else {
        DebugLog("%s", text.c_str());
    }
    EXPECT_EQ(ReadWholeFile(log), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, LineLengthTest,
    ::testing::Values(CutCase{"Log1200", false, 1200, std::string(1000, 'a') + "\r\n"},
                      CutCase{"Log1001", false, 1001, std::string(1000, 'a') + "\r\n"},
                      CutCase{"Log1000", false, 1000, std::string(1000, 'a') + "\r\n"},
                      CutCase{"Log999", false, 999, std::string(999, 'a') + "\r\n"},
                      CutCase{"Raw1200", true, 1200, std::string(1000, 'a')},
                      CutCase{"LogEmpty", false, 0, "\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Several threads race for the first open and then write lines of many lengths: every line must
// arrive whole, once, and in its thread's order.
TEST_F(FileModeTest, ConcurrentWritersProduceWholeLinesOnly) {
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    const std::string log = dir.File("threads.log");
    DebugSetup(DebugFile, log.c_str());

    std::latch start(kThreads);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &start] {
            const std::string filler(997, 'x');
            start.arrive_and_wait();
            for (int i = 0; i < kLines; ++i) {
                const int fill = (i * 37 + t * 11) % 960;
                if (i % 2 == 0) {
                    DebugLog("T%d L%d %.*s.", t, i, fill, filler.c_str());
                } else {
                    DebugLogRaw("T%d L%d %.*s.\r\n", t, i, fill, filler.c_str());
                }
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }

    const std::string content = ReadWholeFile(log);
    std::vector<int> nextLine(kThreads, 0);
    std::size_t position = 0;
    int total = 0;
    while (position < content.size()) {
        const std::size_t end = content.find("\r\n", position);
        ASSERT_NE(end, std::string::npos) << "unterminated tail at " << position;
        const std::string line = content.substr(position, end - position);
        position = end + 2;
        int t = -1;
        int i = -1;
        int consumed = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "T%d L%d %n", &t, &i, &consumed), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        ASSERT_EQ(i, nextLine[t]) << "thread " << t << " out of order: " << line;
        ++nextLine[t];
        const std::size_t fill = static_cast<std::size_t>((i * 37 + t * 11) % 960);
        EXPECT_EQ(line.substr(static_cast<std::size_t>(consumed)), std::string(fill, 'x') + ".")
            << line;
        ++total;
    }
    EXPECT_EQ(total, kThreads * kLines);
}

} // namespace
