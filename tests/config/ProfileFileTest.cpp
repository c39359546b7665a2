#include "config/ProfileFile.h"

#include <climits>
#include <sys/stat.h>
#include <sys/wait.h>

#include "TempDir.h"
#include "TraceCapture.h"

namespace {

class ProfileFileTest : public InTempDir {};

TEST_F(ProfileFileTest, ReadsMatchWithoutCaseAndDropBlanksAndQuotes) {
    Put("a.ini", "orphan=x\n; comment\n[ Alpha ]\n  Key1  =  value one  \nKEY2=\"quoted\"\n"
                 "key3=\" padded \"\nkey4=\"unbalanced\nkey5=\nnokey\n# key6=hidden\n"
                 "[beta]\r\nkey1=b\r\n");
    ProfileFile file("a.ini");
    struct Row {
        const char* section;
        const char* key;
        const char* expected;
    } rows[] = {
        {"ALPHA", "key1", "value one"}, {"alpha", "Key2", "quoted"},
        {"Alpha", "key3", " padded "},  {"Alpha", "key4", "\"unbalanced"},
        {"Alpha", "key5", ""},          {"Alpha", "missing", ""},
        {"Alpha", "key6", ""},          {"Alpha", "orphan", ""},
        {"BETA", "KEY1", "b"},          {"gamma", "key1", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(file.Read(row.section, row.key), row.expected) << row.section << "/" << row.key;
    }
    EXPECT_EQ(ProfileFile("no-such.ini").Read("Alpha", "key1"), "");
}

TEST_F(ProfileFileTest, LongValueIsCutTo299Bytes) {
    Put("a.ini", "[S]\nk=" + std::string(400, 'v') + "\n");
    EXPECT_EQ(ProfileFile("a.ini").Read("S", "k"), std::string(299, 'v'));
}

TEST_F(ProfileFileTest, WritesKeepEverythingElseInPlace) {
    Put("a.ini", "; top comment\n[Other]\nforeign=1\n\n[Proxy]\nCount = 1\nunknown=keep\n"
                 "# trailing comment\n\n[Last]\nz=9\n");
    ProfileFile file("a.ini");
    file.Write("proxy", "count", "2");     // in place, the file's spelling kept
    file.Write("Proxy", "Domain000", "a"); // after the section's last key
    file.Write("New", "k", "v");           // new section at the end
    file.Remove("Last", "z");
    EXPECT_TRUE(file.Flush());
    EXPECT_EQ(Get("a.ini"), "; top comment\n[Other]\nforeign=1\n\n[Proxy]\nCount = 2\n"
                            "unknown=keep\nDomain000=a\n# trailing comment\n\n[Last]\n\n"
                            "[New]\nk=v\n");
}

TEST_F(ProfileFileTest, CrLfFileStaysCrLf) {
    Put("a.ini", "[S]\r\na=1\r\n");
    ProfileFile file("a.ini");
    file.Write("S", "b", "2");
    EXPECT_TRUE(file.Flush());
    EXPECT_EQ(Get("a.ini"), "[S]\r\na=1\r\nb=2\r\n");
}

TEST_F(ProfileFileTest, ValuesRoundTripExactly) {
    std::string high;
    for (int c = 0x80; c <= 0xFF; ++c) {
        high += static_cast<char>(c);
    }
    struct Row {
        std::string written, read;
    } rows[] = {
        {"plain", "plain"},
        {"  blank edges ", "  blank edges "},
        {"\"quoted\"", "\"quoted\""},
        {"a\"b", "a\"b"},
        {high, high},
        {"first\r\n[Option]\nListenPort=1", "first"},
        {"", ""},
    };
    ProfileFile file("a.ini");
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        file.Write("S", "k" + std::to_string(i), rows[i].written);
    }
    EXPECT_TRUE(file.Flush());
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(file.Read("S", "k" + std::to_string(i)), rows[i].read) << i;
    }
    EXPECT_EQ(file.Read("Option", "ListenPort"), "");
}

TEST_F(ProfileFileTest, ValueFromDiskWithCrOrNulReadsAsItWillBeSaved) {
    // An outside edit may leave a lone CR or a NUL inside a value; it must read the same before
    // and after the next save, or an entry changes under the user's feet.
    Put("a.ini", std::string("[S]\ncr=a\rb\nnul=c\0d\nk=v\n", 23));
    ProfileFile file("a.ini");
    EXPECT_EQ(file.Read("S", "cr"), "a");
    EXPECT_EQ(file.Read("S", "nul"), "c");
    file.Write("S", "cr", file.Read("S", "cr"));
    file.Write("S", "nul", file.Read("S", "nul"));
    EXPECT_TRUE(file.Flush());
    EXPECT_EQ(file.Read("S", "cr"), "a");
    EXPECT_EQ(file.Read("S", "nul"), "c");
    EXPECT_EQ(file.Read("S", "k"), "v");
}

TEST_F(ProfileFileTest, ForeignLineEndingInCrsSurvivesSavesUnchanged) {
    Put("a.ini", "[S]\nk=1\nforeign=x\r\r\n");
    ProfileFile file("a.ini");
    for (int save = 0; save < 2; ++save) {
        file.Write("S", "k", "2");
        EXPECT_TRUE(file.Flush());
        EXPECT_EQ(Get("a.ini"), "[S]\nk=2\nforeign=x\r\r\n") << "save " << save;
    }
}

TEST_F(ProfileFileTest, ReadsSeeDiskNowAndPendingWritesUntilFlush) {
    Put("a.ini", "[S]\nk=old\n");
    ProfileFile file("a.ini");
    EXPECT_EQ(file.Read("S", "k"), "old");
    Put("a.ini", "[S]\nk=outside\n");
    EXPECT_EQ(file.Read("S", "k"), "outside");
    file.Write("S", "k", "mine");
    EXPECT_EQ(file.Read("S", "k"), "mine");
    EXPECT_EQ(Get("a.ini"), "[S]\nk=outside\n");
    Put("a.ini", "[S]\nk=outside\nx=1\n");
    EXPECT_TRUE(file.Flush());
    EXPECT_EQ(Get("a.ini"), "[S]\nk=mine\nx=1\n");
}

TEST_F(ProfileFileTest, RemovingNothingCreatesNoFile) {
    ProfileFile file("a.ini");
    file.Remove("S", "k");
    EXPECT_TRUE(file.Flush());
    EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(ProfileFileTest, SavesLeaveTheFilePrivateAndAnExposedOneIsReported) {
    mode_t old = ::umask(0);
    ProfileFile fresh("new.ini");
    fresh.Write("S", "k", "v");
    EXPECT_TRUE(fresh.Flush());
    ::umask(old);
    EXPECT_EQ(Mode("new.ini"), 0600u);

    Put("old.ini", "[S]\n");
    ASSERT_EQ(::chmod("old.ini", 0644), 0);
    testsupport::TraceCapture trace;
    ProfileFile existing("old.ini");
    existing.Read("S", "k");
    existing.Write("S", "k", "v");
    EXPECT_TRUE(existing.Flush());
    EXPECT_EQ(Mode("old.ini"), 0600u);
    EXPECT_TRUE(trace.contains("IniModeWarning(old.ini)")) << trace.text();
    EXPECT_EQ(FilesInDir(), 2u); // no temporary file left behind
}

TEST_F(ProfileFileTest, LinksAreFollowedOnlyWhenTheyAndTheirTargetAreTheUsers) {
    Put("real.ini", "[S]\nk=1\n");
    ASSERT_EQ(::symlink("real.ini", "link.ini"), 0);
    ProfileFile file("link.ini");
    file.Write("S", "k", "2");
    EXPECT_TRUE(file.Flush());
    EXPECT_TRUE(std::filesystem::is_symlink("link.ini"));
    EXPECT_EQ(Get("real.ini"), "[S]\nk=2\n");

    // Planted by someone else: a foreign link, or our own link to a foreign file (root only).
    const uid_t other = ::geteuid() + 1;
    ASSERT_EQ(::symlink("real.ini", "planted.ini"), 0);
    if (::lchown("planted.ini", other, other) != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    ProfileFile planted("planted.ini");
    EXPECT_EQ(planted.Read("S", "k"), "");
    planted.Write("S", "k", "3");
    EXPECT_FALSE(planted.Flush());
    ASSERT_EQ(::chown("real.ini", other, other), 0);
    EXPECT_EQ(file.Read("S", "k"), "");
    file.Write("S", "k", "4");
    EXPECT_FALSE(file.Flush());
    EXPECT_EQ(Get("real.ini"), "[S]\nk=2\n");
    EXPECT_TRUE(std::filesystem::is_symlink("planted.ini"));
}

TEST_F(ProfileFileTest, CrashBeforeRenameLeavesOldFile) {
    Put("a.ini", "[S]\nk=old\n");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ProfileFile file("a.ini");
        file.SetBeforeRenameHookForTest([] { ::_exit(7); });
        file.Write("S", "k", std::string(100000, 'n'));
        file.Flush();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(Get("a.ini"), "[S]\nk=old\n");
    EXPECT_EQ(ProfileFile("a.ini").Read("S", "k"), "old");
}

TEST_F(ProfileFileTest, FailedSaveLeavesTheFileAndForgetsTheUnsavedWrites) {
    Put("a.ini", "[S]\nk=disk\n");
    ASSERT_EQ(::chmod("a.ini", 0444), 0);
    struct stat before {};
    ASSERT_EQ(::stat("a.ini", &before), 0);
    ProfileFile file("a.ini");
    file.Write("S", "k", "unsaved");
    EXPECT_FALSE(file.Flush());
    struct stat after {};
    ASSERT_EQ(::stat("a.ini", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino); // not replaced
    EXPECT_EQ(Mode("a.ini"), 0444u);
    EXPECT_EQ(file.Read("S", "k"), "disk");

    // Edited outside, then a save that works: the edit stays, the lost write does not come back.
    ASSERT_EQ(::chmod("a.ini", 0600), 0);
    Put("a.ini", "[S]\nk=disk\nadded=by hand\n");
    file.Write("S", "other", "1");
    EXPECT_TRUE(file.Flush());
    EXPECT_EQ(Get("a.ini"), "[S]\nk=disk\nadded=by hand\nother=1\n");

    ProfileFile nowhere("missing-dir/a.ini");
    nowhere.Write("S", "k", "v");
    EXPECT_FALSE(nowhere.Flush());
}

TEST_F(ProfileFileTest, PlantedFifosNeverBlock) {
    ASSERT_EQ(::mkfifo("a.ini.tmp", 0666), 0);          // where a fixed temporary name would be
    ASSERT_EQ(::mkfifo(".a.ini.save-AAAAAA", 0666), 0); // named like a save's leftover
    ProfileFile file("a.ini");
    file.Write("S", "k", "v");
    EXPECT_TRUE(file.Flush());
    EXPECT_EQ(Get("a.ini"), "[S]\nk=v\n");

    ASSERT_EQ(::mkfifo("fifo.ini", 0666), 0);
    ProfileFile fifo("fifo.ini");
    EXPECT_EQ(fifo.Read("S", "k"), "");
    fifo.Write("S", "k", "v");
    EXPECT_FALSE(fifo.Flush());
}

TEST_F(ProfileFileTest, ByteOrderMarkIsReadPastAndKeptOnce) {
    Put("a.ini", "\xEF\xBB\xBF[S]\r\nk=1\r\n");
    ProfileFile file("a.ini");
    EXPECT_EQ(file.Read("S", "k"), "1");
    for (int save = 0; save < 2; ++save) {
        file.Write("S", "k", "2");
        EXPECT_TRUE(file.Flush());
    }
    EXPECT_EQ(Get("a.ini"), "\xEF\xBB\xBF[S]\r\nk=2\r\n");
}

TEST(ProfileIntTest, ConvertsLikeTheSettingsExpect) {
    struct Row {
        const char* text;
        std::int32_t expected;
    } rows[] = {
        {"", 77},
        {"25", 25},
        {"0x19", 25},
        {"0X19", 25},
        {"025", 21},
        {"25abc", 25},
        {"abc", 0},
        {" \t-12", -12},
        {"+7", 7},
        {"08", 0},
        {"0x", 0},
        {"-0x10", -16},
        {"-", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"0xFFFFFFFF", INT32_MAX},
        {"999999999999999999999999999999", INT32_MAX},
        {"-077777777777777777777777", INT32_MIN},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ProfileInt(row.text, 77), row.expected) << '"' << row.text << '"';
    }
}

} // namespace
