// Single-instance guard: the per-user paths, and whole instances played by forked children.
#include "DiagTestSupport.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using diagtest::Exists;
using diagtest::TempDir;

// Sets or clears environment variables for one test and puts them back afterwards.
class Environment {
  public:
    ~Environment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    void Set(const std::string& name, const char* value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) {
            setenv(name.c_str(), value, 1);
        } else {
            unsetenv(name.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(InstancePathTest, RuntimeDirectoryIsChosenInOrderOfPreference) {
    TempDir override;
    TempDir runtime;
    TempDir temporary;
    const std::string notADirectory = runtime.File("plain-file");
    std::ofstream(notADirectory) << "x";
    const std::string withSlash = override.Path() + "/";
    const std::string user = std::to_string(getuid());
    const std::string privateTemporary = temporary.File("vellomir-" + user);
    const std::string privateTmp = "/tmp/vellomir-" + user;
    TempDir shared;
    chmod(shared.Path().c_str(), 0755);

    const struct {
        const char* name;
        const char* override;
        const char* runtime;
        const char* temporary;
        std::string expectedDir;
    } rows[] = {
        {"override first", override.Path().c_str(), runtime.Path().c_str(),
         temporary.Path().c_str(), override.Path()},
        {"runtime dir", nullptr, runtime.Path().c_str(), temporary.Path().c_str(), runtime.Path()},
        {"empty override", "", runtime.Path().c_str(), nullptr, runtime.Path()},
        {"runtime not a dir", nullptr, notADirectory.c_str(), temporary.Path().c_str(),
         privateTemporary},
        {"runtime missing", nullptr, "/nonexistent/vellomir", temporary.Path().c_str(),
         privateTemporary},
        {"runtime open to others", nullptr, shared.Path().c_str(), temporary.Path().c_str(),
         privateTemporary},
        {"nothing set", nullptr, nullptr, nullptr, privateTmp},
        {"temporary not a dir", nullptr, nullptr, notADirectory.c_str(), privateTmp},
        {"trailing slash", withSlash.c_str(), nullptr, nullptr, override.Path()},
    };
    for (const auto& row : rows) {
        Environment environment;
        environment.Set("VELLOMIR_RUNTIME_DIR", row.override);
        environment.Set("XDG_RUNTIME_DIR", row.runtime);
        environment.Set("TMPDIR", row.temporary);
        EXPECT_EQ(InstanceLockPath(), row.expectedDir + "/vellomir-" + user + ".lock") << row.name;
        EXPECT_EQ(InstanceSocketPath(), row.expectedDir + "/vellomir-" + user + ".sock")
            << row.name;
    }
}

TEST(InstancePathTest, PrivateDirectoryThatSomeoneElseMadeIsNotUsed) {
    TempDir temporary;
    TempDir elsewhere;
    Environment environment;
    environment.Set("VELLOMIR_RUNTIME_DIR", nullptr);
    environment.Set("XDG_RUNTIME_DIR", nullptr);
    environment.Set("TMPDIR", temporary.Path().c_str());
    const std::string place = temporary.File("vellomir-" + std::to_string(getuid()));
    EXPECT_EQ(InstanceLockPath(), place + "/vellomir-" + std::to_string(getuid()) + ".lock");
    struct stat info {};
    ASSERT_EQ(lstat(place.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    rmdir(place.c_str());
    ASSERT_EQ(symlink(elsewhere.Path().c_str(), place.c_str()), 0);
    EXPECT_EQ(InstanceSocketPath(), "");
    unlink(place.c_str());
    ASSERT_EQ(mkdir(place.c_str(), 0700), 0);
    ASSERT_EQ(chmod(place.c_str(), 0777), 0);
    EXPECT_EQ(InstanceLockPath(), "");
    ASSERT_EQ(chmod(place.c_str(), 0700), 0);
    if (chown(place.c_str(), geteuid() + 1, getegid()) == 0) { // root only
        EXPECT_EQ(InstanceLockPath(), "");
    }
}

// A start that answers and ends at once: 1 for "already running", 0 for "first instance".
int StartAndEnd() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(IsAlreadyRunning() ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A start that stays up (holding whatever it got) until Stop.
class RunningInstance {
  public:
    RunningInstance() {
        int answer[2];
        if (pipe(answer) != 0 || pipe(release_) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(answer[0]);
            close(release_[1]);
            // The second call checks that the holder does not mistake itself for another one.
            const char reply[2] = {IsAlreadyRunning() ? '1' : '0', IsAlreadyRunning() ? '1' : '0'};
            (void)!write(answer[1], reply, 2);
            char ignored;
            (void)!read(release_[0], &ignored, 1);
            _exit(0);
        }
        close(answer[1]);
        close(release_[0]);
        char reply[2] = {'?', '?'};
        (void)!read(answer[0], reply, 2);
        close(answer[0]);
        answer_ = std::string(reply, 2);
    }
    ~RunningInstance() { Stop(); }
    RunningInstance(const RunningInstance&) = delete;
    RunningInstance& operator=(const RunningInstance&) = delete;

    const std::string& Answers() const { return answer_; }
    void Stop() {
        if (pid_ > 0) {
            close(release_[1]);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
    std::string answer_;
};

// The listening side of the wake-up socket, as the desktop program holds it.
class WakeListener {
  public:
    explicit WakeListener(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                 listen(fd_, 4) == 0;
    }
    ~WakeListener() { close(fd_); }
    WakeListener(const WakeListener&) = delete;
    WakeListener& operator=(const WakeListener&) = delete;

    bool Bound() const { return bound_; }
    // Everything the next connection sends until it closes; "<none>" without a connection.
    std::string NextMessage() {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 2000) != 1) {
            return "<none>";
        }
        const int connection = accept(fd_, nullptr, nullptr);
        std::string message;
        char buffer[16];
        ssize_t n;
        while ((n = read(connection, buffer, sizeof buffer)) > 0) {
            message.append(buffer, static_cast<std::size_t>(n));
        }
        close(connection);
        return message;
    }
    bool HasPendingConnection() {
        pollfd ready{fd_, POLLIN, 0};
        return poll(&ready, 1, 0) == 1;
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

class InstanceGuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        environment.Set("VELLOMIR_RUNTIME_DIR", dir.Path().c_str());
    }

    TempDir dir;
    Environment environment;
};

TEST_F(InstanceGuardTest, SecondStartWakesTheFirstAndAStartAfterItsEndRunsNormally) {
    RunningInstance first;
    EXPECT_EQ(first.Answers(), "00");
    EXPECT_TRUE(Exists(InstanceLockPath()));

    {
        WakeListener listener(InstanceSocketPath());
        ASSERT_TRUE(listener.Bound());
        EXPECT_EQ(StartAndEnd(), 1);
        EXPECT_EQ(listener.NextMessage(), "w");
        EXPECT_FALSE(listener.HasPendingConnection());
    }
    // The listener is gone but its socket file stays behind, as after a crash.
    ASSERT_TRUE(Exists(InstanceSocketPath()));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(StartAndEnd(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));

    std::remove(InstanceSocketPath().c_str());
    EXPECT_EQ(StartAndEnd(), 1); // no socket file at all: nothing to wake

    first.Stop();
    EXPECT_EQ(StartAndEnd(), 0);
}

TEST_F(InstanceGuardTest, UnusableLockFileLetsTheProgramStartNormally) {
    // A symbolic link planted at the lock path is not followed, and nothing is created through it.
    const std::string target = dir.File("elsewhere");
    ASSERT_EQ(symlink(target.c_str(), InstanceLockPath().c_str()), 0);
    EXPECT_EQ(StartAndEnd(), 0);
    EXPECT_FALSE(Exists(target));

    // Another user's lock file, held: not an instance of ours (root only can make one).
    std::remove(InstanceLockPath().c_str());
    const int foreign = open(InstanceLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fchown(foreign, geteuid() + 1, getegid()) == 0) {
        ASSERT_EQ(flock(foreign, LOCK_EX), 0);
        EXPECT_EQ(StartAndEnd(), 0);
    }
    close(foreign);

    Environment missing;
    missing.Set("VELLOMIR_RUNTIME_DIR", dir.File("no/such/dir").c_str());
    EXPECT_EQ(StartAndEnd(), 0);
}

} // namespace
