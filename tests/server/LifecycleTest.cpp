// Opening, starting and stopping the listener, and many sessions through it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Dialogue.h"
#include "TraceCapture.h"
#include "server/Server.h"

namespace {

using namespace testnet;
using Clock = std::chrono::steady_clock;

// Connects and checks the greeting; -1 when either fails.
int greetedClient(int port) {
    const int client = connectLoopback(port);
    if (client >= 0 && readBytes(client, 16) != "220 SMTP Proxy\r\n") {
        closeSocketQuietly(client);
        return -1;
    }
    return client;
}

long cpuMillis() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000L;
}

TEST(Lifecycle, OpenRefusesTakenPortsBadPortsAndBadAddresses) {
    int taken = 0;
    const int holder = listenLoopback(&taken);
    EXPECT_FALSE(serverOpen("127.0.0.1", taken));
    for (const int port : {0, -5, 65536, 70000, taken + 65536}) {
        EXPECT_FALSE(serverOpen("127.0.0.1", port)) << port;
    }
    EXPECT_FALSE(serverOpen("no-such-host.invalid", freePort()));
    serverStart(); // nothing was opened: nothing starts
    EXPECT_FALSE(serverIsRunning());
    closeSocketQuietly(holder);
}

TEST(Lifecycle, StopIsQuickAndTheSamePortOpensAgain) {
    TraceCapture trace;
    const auto idle = Clock::now();
    serverStop(); // no listener: returns at once
    EXPECT_LT(Clock::now() - idle, 20ms);

    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    EXPECT_TRUE(serverIsRunning());
    // A session that the proxy ends itself leaves its side of the connection in TIME_WAIT.
    const int client = greetedClient(port);
    ASSERT_GE(client, 0);
    sendText(client, "QUIT\r\n");
    bool closed = false;
    EXPECT_EQ(readUntilClosed(client, &closed), "550 Service not available\r\n");
    closeSocketQuietly(client);
    EXPECT_TRUE(waitForSessionsToEnd());

    std::this_thread::sleep_for(30ms);
    const auto stopping = Clock::now();
    serverStop();
    EXPECT_LT(Clock::now() - stopping, 250ms);
    EXPECT_FALSE(serverIsRunning());
    EXPECT_LT(connectLoopback(port), 0) << "the closed listener still accepts";

    ASSERT_TRUE(serverOpen("127.0.0.1", port));
    serverStart();
    const int again = greetedClient(port);
    EXPECT_GE(again, 0);
    closeSocketQuietly(again);
    serverStop();
    EXPECT_TRUE(waitForSessionsToEnd());
    const auto lines = trace.lines();
    const std::string open = "Host=127.0.0.1,Prot=" + std::to_string(port);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), open), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "MainTaskStart"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "MainTaskEnd"), 2);
}

TEST(Lifecycle, SessionsAcceptedBeforeAStopFinishTheirMail) {
    ScriptedServer server(
        {serverSends("220 up\r\n"), serverExpects("HELO me\r\n"), serverSends("250 up\r\n"),
         serverExpects("MAIL FROM:<a@example.com>\r\n"), serverSends("250 ok\r\n"),
         serverExpects("QUIT\r\n"), serverSends("221 bye\r\n"), serverCloses()});
    setEntries({entryFor("example.com", server.port(), MethodNone)});
    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    const int client = greetedClient(port);
    ASSERT_GE(client, 0);
    sendText(client, "HELO me\r\n");
    EXPECT_EQ(readBytes(client, 8), "250 OK\r\n");
    serverStop();
    sendText(client, "MAIL FROM:<a@example.com>\r\n");
    EXPECT_EQ(readLine(client), "250 ok\r\n");
    sendText(client, "QUIT\r\n");
    bool closed = false;
    EXPECT_EQ(readUntilClosed(client, &closed), "221 bye\r\n");
    EXPECT_TRUE(closed);
    closeSocketQuietly(client);
    EXPECT_TRUE(server.finish());
    EXPECT_TRUE(server.mismatches().empty());
    EXPECT_TRUE(waitForSessionsToEnd());
}

TEST(Lifecycle, TwoHundredConcurrentSessionsEachDeliverTheirMail) {
    MailSink sink;
    setEntries({entryFor("example.com", sink.port(), MethodPlain)});
    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    constexpr int kSessions = 200;
    std::atomic<int> delivered{0};
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int n = 0; n < kSessions; ++n) {
        clients.emplace_back([&, n] {
            const int client = greetedClient(port);
            if (client < 0) {
                return;
            }
            const std::string body =
                "Subject: " + std::to_string(n) + "\r\n\r\nmessage " + std::to_string(n) + "\r\n";
            sendText(client, "HELO me\r\n");
            bool ok = readLine(client, 20s) == "250 OK\r\n";
            sendText(client, "MAIL FROM:<" + std::to_string(n) + "@example.com>\r\n");
            ok = ok && readLine(client, 20s) == "250 ok\r\n";
            sendText(client, "RCPT TO:<x@example.org>\r\n");
            ok = ok && readLine(client, 20s) == "250 ok\r\n";
            sendText(client, "DATA\r\n");
            ok = ok && readLine(client, 20s) == "354 go\r\n";
            sendText(client, body + ".\r\nQUIT\r\n");
            ok = ok && readLine(client, 20s) == "250 queued\r\n";
            ok = ok && readLine(client, 20s) == "221 bye\r\n";
            closeSocketQuietly(client);
            if (ok) {
                ++delivered;
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(delivered.load(), kSessions);
    EXPECT_LT(Clock::now() - start, 30s);
    serverStop();
    EXPECT_TRUE(waitForSessionsToEnd(10s));
    auto messages = sink.messages();
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages.size(), static_cast<std::size_t>(kSessions));
    EXPECT_EQ(std::adjacent_find(messages.begin(), messages.end()), messages.end());
}

TEST(Lifecycle, RunningOutOfDescriptorsNeitherSpinsNorStopsTheListener) {
    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    // The client's socket exists before the descriptors run out; only the accept needs one.
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    std::vector<int> fillers;
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(countOpenDescriptors() + 8);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        fillers.push_back(fd);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected =
        connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const long cpuBefore = cpuMillis();
    std::this_thread::sleep_for(600ms);
    const long cpuUsed = cpuMillis() - cpuBefore;
    for (const int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(connected);
    EXPECT_LT(cpuUsed, 300) << "the accept loop spins while descriptors are out";
    EXPECT_TRUE(serverIsRunning());
    EXPECT_EQ(readBytes(client, 16, 2s), "220 SMTP Proxy\r\n");
    closeSocketQuietly(client);
    serverStop();
    EXPECT_TRUE(waitForSessionsToEnd());
}

TEST(Lifecycle, DescriptorsAbove1023Work) {
    raiseDescriptorLimit();
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1200) {
        GTEST_SKIP() << "descriptor limit too low: " << limit.rlim_cur;
    }
    std::vector<int> fillers;
    while (fillers.empty() || fillers.back() < 1030) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
    }
    DialogueRow row;
    row.name = "a session on high descriptors";
    row.method = MethodNone;
    row.server = concat({{serverSends("220 up\r\n"), serverExpects("EHLO mx.example.com\r\n"),
                          serverSends("250 up\r\n")},
                         serverQuit()});
    row.client = {{"EHLO mx.example.com\r\n", "250 up\r\n"}, clientQuit()};
    runDialogue(row);
    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    const int client = greetedClient(port);
    EXPECT_GT(client, 1023);
    closeSocketQuietly(client);
    serverStop();
    for (const int fd : fillers) {
        close(fd);
    }
    EXPECT_TRUE(waitForSessionsToEnd());
}

// A client that pipelines behind a refused command must read the whole reply and then an
// orderly end of stream, not a reset; one that stays silent is closed with "421 Timeout".
TEST(Lifecycle, EndingRepliesArriveWholeAndSilentClientsTimeOut) {
    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    const int client = greetedClient(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(sendText(client, "NOOP\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\nDATA\r\n"));
    EXPECT_EQ(readBytes(client, 27), "550 Service not available\r\n");
    char byte = 0;
    errno = 0;
    EXPECT_EQ(recv(client, &byte, 1, 0), 0) << "reset instead of an end of stream: " << errno;
    closeSocketQuietly(client);

    const EngineDeadlines saved = engineDeadlines();
    EngineDeadlines shortIdle = saved;
    shortIdle.clientIdleMillis = 300;
    setEngineDeadlines(shortIdle);
    const int silent = greetedClient(port);
    ASSERT_GE(silent, 0);
    bool closed = false;
    EXPECT_EQ(readUntilClosed(silent, &closed, 3s), "421 Timeout\r\n");
    EXPECT_TRUE(closed);
    setEngineDeadlines(saved);
    closeSocketQuietly(silent);
    serverStop();
    EXPECT_TRUE(waitForSessionsToEnd());
}

// Many mail clients resolve "localhost" to ::1 first.
TEST(Lifecycle, TheDefaultLoopbackAddressIsServedOnIpv6Too) {
    const int port = freePort();
    for (const char* address : {"127.0.0.1", "::1"}) {
        ASSERT_TRUE(serverOpen(address, port)) << address;
        serverStart();
        const int client = ::socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 target{};
        target.sin6_family = AF_INET6;
        target.sin6_port = htons(static_cast<std::uint16_t>(port));
        target.sin6_addr = in6addr_loopback;
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target), 0)
            << address;
        EXPECT_EQ(readBytes(client, 16), "220 SMTP Proxy\r\n") << address;
        closeSocketQuietly(client);
        serverStop();
    }
    EXPECT_TRUE(waitForSessionsToEnd());
}

} // namespace
