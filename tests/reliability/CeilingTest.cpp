// Limits of the process: sockets numbered above 1024 work end to end; when descriptors run out
// the listener neither spins nor dies and serves again once they return; when no thread can be
// made, the client that needed it is disconnected and the proxy goes on; after a burst of
// sessions the proxy's memory comes back to where it was.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EngineSetup.h"
#include "FaultUpstream.h"
#include "LoopbackSocket.h"
#include "ProcessState.h"
#include "config/Proxydata.h"
#include "server/Server.h"

using namespace std::chrono_literals;

namespace {

using namespace testsupport;

constexpr int kHighDescriptor = 1100;

TEST(DescriptorCeiling, SessionsOnSocketsAbove1024WorkEndToEnd) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 2 * kHighDescriptor) {
        GTEST_SKIP() << "hard descriptor limit " << limit.rlim_max << " is too low";
    }
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    // Fill every number up to 1100, so every socket made from now on lies above it.
    std::vector<int> fillers;
    for (;;) {
        const int fd = ::dup(0);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= kHighDescriptor) {
            break;
        }
    }
    {
        FaultUpstream upstream("high", "high-pw");
        const int port = startEngineOnFreePort();
        ASSERT_GT(port, 0);
        setEntries({entryFor("high.test", upstream.port(), MethodCramMd5, "high", "high-pw")});

        constexpr int kClients = 20;
        std::vector<int> clients;
        for (int i = 0; i < kClients; ++i) {
            const int client = connectLoopback(port);
            ASSERT_GT(client, 1024);
            clients.push_back(client);
        }
        for (int i = 0; i < kClients; ++i) {
            ASSERT_TRUE(sendText(clients[i], "EHLO box.high.test\r\n"));
        }
        for (int i = 0; i < kClients; ++i) {
            const std::string expected = "220 SMTP Proxy\r\n250 127.0.0.1\r\n";
            ASSERT_EQ(readBytes(clients[i], expected.size()), expected) << "client " << i;
            const std::string body = "Subject: high " + std::to_string(i) + "\r\n\r\nx\r\n";
            ASSERT_TRUE(sendText(clients[i], "MAIL FROM:<a@high.test>\r\n"));
            std::string line;
            ASSERT_TRUE(readLine(clients[i], &line));
            ASSERT_TRUE(
                sendText(clients[i], "RCPT TO:<b@c.test>\r\nDATA\r\n" + body + ".\r\nQUIT\r\n"));
            ASSERT_TRUE(peerClosed(clients[i]));
            ::close(clients[i]);
        }
        ASSERT_TRUE(upstream.waitIdle(5s));
        int delivered = 0;
        for (int i = 0; i < upstream.accepted(); ++i) {
            auto connection = upstream.nextConnection(1s);
            ASSERT_NE(connection, nullptr);
            std::lock_guard lock(connection->mutex);
            delivered += static_cast<int>(connection->messages.size());
            EXPECT_EQ(connection->loggedInAs, "high");
        }
        EXPECT_EQ(delivered, kClients);
        serverStop();
    }
    for (int fd : fillers) {
        ::close(fd);
    }
}

// The engine in a process of its own (the test program for the engine alone), started with
// `limits` applied; reads the settings from `dir`, with `moreSettings` after the listener's.
class EngineProcess {
  public:
    EngineProcess(const std::string& dir, int port,
                  const std::vector<std::pair<int, rlim_t>>& limits,
                  const std::string& moreSettings = "") {
        std::ofstream(dir + "/Vellomir.ini")
            << "[Option]\nListenAddress=127.0.0.1\nListenPort=" << port << "\n"
            << moreSettings;
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            for (const auto& [resource, value] : limits) {
                const rlimit limit{value, value};
                ::setrlimit(resource, &limit);
            }
            if (::chdir(dir.c_str()) == 0) {
                ::execl(VELLOMIR_ENGINE_HOST, VELLOMIR_ENGINE_HOST, nullptr);
            }
            ::_exit(127);
        }
        ::close(out[1]);
        char text[32] = {};
        ssize_t n;
        do {
            n = ::read(out[0], text, sizeof text - 1);
        } while (n < 0 && errno == EINTR);
        ::close(out[0]);
        listening_ = n > 0 && std::string(text).rfind("listening", 0) == 0;
    }

    ~EngineProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool listening() const { return listening_; }
    bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

    // CPU time (user and system) used so far, in clock ticks.
    long cpuTicks() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) {
                utime = std::stol(field);
            } else if (i == 15) {
                stime = std::stol(field);
            }
        }
        return utime + stime;
    }

    // A number from the process's status ("Threads", "RssAnon" in kB); -1 when missing.
    long status(const std::string& name) const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        long value = -1;
        while (in >> key) {
            if (key == name + ":") {
                in >> value;
                break;
            }
            in.ignore(1 << 16, '\n');
        }
        return value;
    }

  private:
    pid_t pid_ = -1;
    bool listening_ = false;
};

TEST(ResourceCeiling, OutOfDescriptorsTheListenerWaitsAndServesAgain) {
    TempDir dir;
    const int port = freePort();
    // Room for the program's own descriptors and a few dozen sessions (one socket each before a
    // hand-over).
    EngineProcess engine(dir.path(), port, {{RLIMIT_NOFILE, 40}});
    ASSERT_TRUE(engine.listening());

    std::vector<int> greeted, waiting;
    for (int i = 0; i < 60; ++i) {
        const int client = connectLoopback(port);
        ASSERT_GE(client, 0) << "the system refused a connection";
        std::string line;
        if (readLine(client, &line, 150ms)) {
            ASSERT_EQ(line, "220 SMTP Proxy\r\n");
            greeted.push_back(client);
        } else {
            waiting.push_back(client);
        }
    }
    ASSERT_GT(greeted.size(), 0u);
    ASSERT_GT(waiting.size(), 0u) << "descriptors never ran out";

    // A connection waits to be accepted and accept keeps failing: the listener must wait, not
    // spin on the readable socket.
    const long before = engine.cpuTicks();
    std::this_thread::sleep_for(1500ms);
    const long used = engine.cpuTicks() - before;
    const double share = static_cast<double>(used) / ::sysconf(_SC_CLK_TCK) / 1.5;
    std::printf("descriptors exhausted: %zu sessions served, %zu waiting, listener CPU %.1f%%\n",
                greeted.size(), waiting.size(), share * 100);
    EXPECT_LT(share, 0.2) << "the listener spins while accept fails";
    ASSERT_TRUE(engine.alive());

    // Descriptors come back: every waiting client is served.
    for (int client : greeted) {
        ::close(client);
    }
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        std::string line;
        EXPECT_TRUE(readLine(waiting[i], &line, 3s)) << "waiting client " << i << " never served";
        EXPECT_EQ(line, "220 SMTP Proxy\r\n");
        ::close(waiting[i]);
    }
    const int late = connectLoopback(port);
    std::string line;
    EXPECT_TRUE(readLine(late, &line, 3s));
    EXPECT_EQ(line, "220 SMTP Proxy\r\n");
    ::close(late);
}

TEST(ResourceCeiling, NoThreadForASessionClosesThatClientOnly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit does not work with the sanitizers' shadow memory";
#else
    TempDir dir;
    const int port = freePort();
    // Address space for the program and a handful of thread stacks only.
    EngineProcess engine(dir.path(), port, {{RLIMIT_AS, 48u << 20}, {RLIMIT_STACK, 8u << 20}});
    ASSERT_TRUE(engine.listening());

    std::vector<int> greeted;
    int refused = 0;
    for (int i = 0; i < 30; ++i) {
        const int client = connectLoopback(port);
        ASSERT_GE(client, 0);
        std::string bytes;
        if (readLine(client, &bytes, 2s)) {
            ASSERT_EQ(bytes, "220 SMTP Proxy\r\n");
            greeted.push_back(client);
            continue;
        }
        // No greeting: the proxy must have closed the connection, not left it hanging.
        EXPECT_TRUE(peerClosed(client, 100ms)) << "client " << i << " left hanging";
        ++refused;
        ::close(client);
    }
    std::printf("no thread: %zu sessions served, %d clients closed at once\n", greeted.size(),
                refused);
    EXPECT_GT(refused, 0) << "thread creation never failed; the limit is too high";
    EXPECT_GT(greeted.size(), 0u);
    ASSERT_TRUE(engine.alive());

    for (int client : greeted) {
        ::close(client);
    }
    // With the sessions gone their stacks are free again, and a new client is served.
    EXPECT_TRUE(waitUntil(
        [&] {
            const int client = connectLoopback(port);
            std::string line;
            const bool served = readLine(client, &line, 500ms) && line == "220 SMTP Proxy\r\n";
            ::close(client);
            return served;
        },
        5s));
#endif
}

// A tray program that sits idle all day must not keep the peak of the last burst: once its
// sessions have ended, the heap they used goes back to the system. (Each session thread used
// to get a malloc arena of its own, and the heap was trimmed before the ending threads had
// freed their caches, so about a megabyte stayed for good after the first burst.)
TEST(ResourceCeiling, MemoryOfABurstOfSessionsComesBackAfterTheyEnd) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers keep freed memory in quarantine";
#endif
    FaultUpstream upstream("", "");
    UpstreamPlan plan;
    plan.keepReceived = false;
    upstream.setPlan(plan);
    TempDir dir;
    const int port = freePort();
    EngineProcess engine(dir.path(), port, {},
                         "[Proxy]\nCount=1\nDomain000=mem.test\nSMTP000=127.0.0.1\n"
                         "Method000=0\nPort000=" +
                             std::to_string(upstream.port()) + "\n");
    ASSERT_TRUE(engine.listening());
    const long idleThreads = engine.status("Threads");

    // Sessions as far as the upstream server's reply to MAIL FROM, held open together.
    const auto openSessions = [&](int count) {
        std::vector<int> clients;
        for (int i = 0; i < count; ++i) {
            const int client = connectLoopback(port);
            std::string line;
            EXPECT_TRUE(client >= 0 && readLine(client, &line) &&
                        sendText(client, "HELO box.mem.test\r\nMAIL FROM:<a@mem.test>\r\n") &&
                        readLine(client, &line) && readLine(client, &line))
                << "session " << i;
            EXPECT_EQ(line.substr(0, 3), "250") << "session " << i;
            clients.push_back(client);
        }
        return clients;
    };
    const auto closeAll = [&](const std::vector<int>& clients) {
        for (int client : clients) {
            ::close(client);
        }
        return waitUntil([&] { return engine.status("Threads") == idleThreads; }, 10s);
    };

    // One session first, so that the code and buffers of a session count as the start.
    ASSERT_TRUE(closeAll(openSessions(1)));
    std::this_thread::sleep_for(300ms);
    const long start = engine.status("RssAnon");
    ASSERT_GT(start, 0);

    constexpr int kSessions = 200;
    for (int round = 0; round < 2; ++round) {
        const std::vector<int> clients = openSessions(kSessions);
        const long held = engine.status("RssAnon");
        ASSERT_TRUE(closeAll(clients)) << "session threads still running";
        // Generous: a correct proxy comes back within a few dozen kB.
        const long allowed = start + std::max(start / 4, 128L);
        const bool back = waitUntil([&] { return engine.status("RssAnon") <= allowed; }, 3s);
        std::printf("round %d: anonymous RSS %ld kB at start, %ld kB with %d sessions, %ld kB "
                    "after\n",
                    round + 1, start, held, kSessions, engine.status("RssAnon"));
        EXPECT_TRUE(back) << "memory kept after the burst of round " << round + 1;
    }
}

} // namespace
