// Line ends on the wire, the line reader's limits, connecting and waiting.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "ScriptedServer.h"
#include "TraceCapture.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

using namespace testnet;

// Two connected stream sockets; closed at the end of the test.
struct SocketPair {
    int near = -1;
    int far = -1;
    SocketPair() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
            near = pair[0];
            far = pair[1];
        }
    }
    ~SocketPair() {
        closeSocketQuietly(near);
        closeSocketQuietly(far);
    }
    // What `far` receives once `near` is closed.
    std::string drainFar() {
        closeSocketQuietly(near);
        near = -1;
        bool closed = false;
        return readUntilClosed(far, &closed, 1s);
    }
};

// A task whose client is one pair and whose server is another.
struct TaskFixture {
    SocketPair client;
    SocketPair server;
    SocketTask task;
    TaskFixture() {
        task.Socket = client.near;
        task.PeerSocket = server.near;
    }
};

TEST(LineIo, SendLineTurnsOnlyTheFinalLfIntoCrLf) {
    const std::pair<const char*, const char*> rows[] = {
        {"250 OK\n", "250 OK\r\n"},
        {"no end", "no end"},
        {"a\nb\n", "a\nb\r\n"},
        {"\n", "\r\n"},
        {"", ""},
    };
    for (const auto& [text, wire] : rows) {
        SocketPair pair;
        sendLine(pair.near, text, false);
        EXPECT_EQ(pair.drainFar(), wire) << text;
    }
}

TEST(LineIo, ErrorRepliesEndInCrLf) {
    const std::pair<int, const char*> rows[] = {
        {0, "550 Service not available\r\n"},
        {1, "550 domain name error\r\n"},
        {2, "421 Can not be connected to SMTP server\r\n"},
        {3, "421 Service not available\r\n"},
        {4, "500 error\r\n"},
        {-1, "500 error\r\n"},
    };
    for (const auto& [index, wire] : rows) {
        SocketPair pair;
        sendError(pair.near, index);
        EXPECT_EQ(pair.drainFar(), wire) << index;
    }
}

TEST(LineIo, GetLineDropsEveryCrAndLeavesTheBytesAfterTheLf) {
    const std::pair<std::string, std::string> rows[] = {
        {"HELO host\r\n", "HELO host"},
        {"HE\rLO host\n", "HELO host"},
        {"\r\r\n", ""},
        {"a\rb\rc\r\n", "abc"},
        {"\n", ""},
    };
    for (const auto& [bytes, line] : rows) {
        TaskFixture fixture;
        ASSERT_TRUE(sendText(fixture.client.far, bytes + "MAIL FROM:<rest>\r\n"));
        char buffer[2048];
        ASSERT_EQ(getLine(fixture.task, fixture.task.Socket, buffer, sizeof buffer), 0);
        EXPECT_EQ(std::string(buffer), line);
        EXPECT_EQ(readBytes(fixture.task.Socket, 18, 1s), "MAIL FROM:<rest>\r\n");
    }
}

TEST(LineIo, GetLineTakesLinesOfLengthUpToTheBufferLessOne) {
    TaskFixture fixture;
    char buffer[2048 + 16];
    std::memset(buffer, '#', sizeof buffer);
    const std::string fits(2047, 'x');
    ASSERT_TRUE(sendText(fixture.client.far, fits + "\r\n"));
    ASSERT_EQ(getLine(fixture.task, fixture.task.Socket, buffer, 2048), 0);
    EXPECT_EQ(std::string(buffer), fits);
    EXPECT_EQ(std::string(buffer + 2048, 16), std::string(16, '#'));
}

TEST(LineIo, AnOverlongLineEndsTheTaskWithoutWritingPastTheBuffer) {
    TraceCapture trace;
    TaskFixture fixture;
    char buffer[2048 + 16];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_TRUE(sendText(fixture.client.far, std::string(5000, 'y') + "\r\n"));
    EXPECT_EQ(getLine(fixture.task, fixture.task.Socket, buffer, 2048), -1);
    EXPECT_FALSE(fixture.task.running());
    EXPECT_EQ(std::string(buffer + 2048, 16), std::string(16, '#'));
    EXPECT_TRUE(trace.contains("getLine Overflow\r\n"));
}

TEST(LineIo, APartialLineBeforeTheCloseIsDropped) {
    TraceCapture trace;
    TaskFixture fixture;
    ASSERT_TRUE(sendText(fixture.client.far, "HELO no end"));
    closeSocketQuietly(fixture.client.far);
    fixture.client.far = -1;
    char buffer[2048];
    EXPECT_EQ(getLine(fixture.task, fixture.task.Socket, buffer, sizeof buffer), -1);
    EXPECT_FALSE(fixture.task.running());
    EXPECT_TRUE(trace.contains("getLine ReadError\r\n"));
}

TEST(LineIo, ClientBytesWhileAServerLineIsAwaitedStayForTheRelay) {
    TraceCapture trace;
    TaskFixture fixture;
    ASSERT_TRUE(sendText(fixture.client.far, "Q\xff"));
    std::thread late([&] {
        std::this_thread::sleep_for(300ms);
        sendText(fixture.server.far, "220 hi\r\n");
    });
    char buffer[2048];
    EXPECT_EQ(getLine(fixture.task, fixture.task.PeerSocket, buffer, sizeof buffer), 0);
    late.join();
    EXPECT_STREQ(buffer, "220 hi");
    const std::vector<std::string> expected = {"Get :220 hi"};
    EXPECT_EQ(trace.lines(), expected);
    // A client that pipelines behind its command loses nothing.
    EXPECT_EQ(readBytes(fixture.task.Socket, 2, 100ms), "Q\xff");
}

TEST(LineIo, AClientHangingUpWhileAServerLineIsAwaitedEndsTheTask) {
    TraceCapture trace;
    TaskFixture fixture;
    closeSocketQuietly(fixture.client.far);
    fixture.client.far = -1;
    char buffer[2048];
    EXPECT_EQ(getLine(fixture.task, fixture.task.PeerSocket, buffer, sizeof buffer), -1);
    EXPECT_TRUE(trace.contains("getLine Client ReadError\r\n"));
}

TEST(LineIo, ReadLinesAreTracedButAClientLoginOnlyUpToItsMechanism) {
    TraceCapture trace;
    TaskFixture fixture;
    ASSERT_TRUE(sendText(fixture.client.far, "EHLO me\r\nAUTH PLAIN dXNlcgB1c2VyAHNlY3JldA==\r\n"));
    char buffer[2048];
    ASSERT_EQ(getLine(fixture.task, fixture.task.Socket, buffer, sizeof buffer), 0);
    ASSERT_EQ(getLine(fixture.task, fixture.task.Socket, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "AUTH PLAIN dXNlcgB1c2VyAHNlY3JldA==");
    const std::vector<std::string> expected = {"get :EHLO me", "get :AUTH PLAIN"};
    EXPECT_EQ(trace.lines(), expected);
}

TEST(Sockets, ConnectToAClosedPortMakesOneAttempt) {
    TraceCapture trace;
    const int port = freePort();
    EXPECT_EQ(connectServer("127.0.0.1", port), -1);
    const std::vector<std::string> expected = {
        "ConnectStart(127.0.0.1, 127.0.0.1 : " + std::to_string(port) + ")",
        "Retry(1, " + std::to_string(ECONNREFUSED) + ")", "ConnectError"};
    EXPECT_EQ(trace.lines(), expected);
}

TEST(Sockets, ConnectToANameThatDoesNotResolveTriesNothing) {
    TraceCapture trace;
    EXPECT_EQ(connectServer("no-such-host.invalid", 25), -1);
    const std::vector<std::string> expected = {
        "ConnectStart(no-such-host.invalid, 255.255.255.255 : 25)", "ConnectError"};
    EXPECT_EQ(trace.lines(), expected);
}

TEST(Sockets, ConnectRefusesPortsOutsideTheRange) {
    int port = 0;
    const int listening = listenLoopback(&port);
    for (const int bad : {0, -1, 65536, port + 65536, 70000}) {
        EXPECT_EQ(connectServer("127.0.0.1", bad), -1) << bad;
    }
    closeSocketQuietly(listening);
}

TEST(Sockets, ConnectedSocketsSendWithoutDelay) {
    int port = 0;
    const int listening = listenLoopback(&port);
    const int socket = connectServer("localhost", port);
    ASSERT_GE(socket, 0);
    int value = 0;
    socklen_t length = sizeof value;
    ASSERT_EQ(getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
    EXPECT_NE(value, 0);
    closeSocketQuietly(socket);
    closeSocketQuietly(listening);
}

TEST(Sockets, ResolveAddress) {
    EXPECT_EQ(resolveAddress("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(resolveAddress("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(resolveAddress("10.1.2.3"), htonl(0x0a010203));
    EXPECT_EQ(resolveAddress("no-such-host.invalid"), kNoAddress);
    EXPECT_EQ(resolveAddress("255.255.255.255"), kNoAddress);
}

TEST(Sockets, WaitReadable) {
    SocketPair pair;
    EXPECT_EQ(waitReadable(pair.near, 20), 1);
    sendText(pair.far, "x");
    EXPECT_EQ(waitReadable(pair.near, 20), 0);
    EXPECT_EQ(waitReadable(-1, 20), -1);
}

// A send that a signal interrupts part way gives back a short count; the rest must follow
// from exactly where it stopped, across the boundary between the two pieces too.
TEST(Sockets, SendTwoPartsResumesExactlyAfterInterruptedPartialSends) {
    struct sigaction tick {};
    tick.sa_handler = [](int) {};
    sigemptyset(&tick.sa_mask);
    tick.sa_flags = 0; // no SA_RESTART: interrupted sends return what they took
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &tick, &previous), 0);

    std::string first(3 * 1024 * 1024 + 7, '\0');
    std::string second(1024 * 1024 + 3, '\0');
    for (std::size_t i = 0; i < first.size(); ++i) {
        first[i] = static_cast<char>(i * 7 + i / 251);
    }
    for (std::size_t i = 0; i < second.size(); ++i) {
        second[i] = static_cast<char>(i * 13 + 5);
    }
    SocketPair pair;
    long result = 0;
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        result = sendTwoParts(pair.near, first.data(), first.size(), second.data(), second.size());
        sending = false;
    });
    // The sender waits with its buffer full; after every piece taken, the reader interrupts it.
    std::string received;
    char chunk[4096];
    while (received.size() < first.size() + second.size()) {
        const ssize_t count = recv(pair.far, chunk, sizeof chunk, 0);
        if (count <= 0) {
            ADD_FAILURE() << "the stream ended early";
            shutdown(pair.far, SHUT_RDWR); // frees the sender
            break;
        }
        received.append(chunk, static_cast<std::size_t>(count));
        if (sending) {
            pthread_kill(sender.native_handle(), SIGALRM);
        }
    }
    sender.join();
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(result, static_cast<long>(first.size() + second.size()));
    ASSERT_EQ(received.size(), first.size() + second.size());
    EXPECT_TRUE(received.compare(0, first.size(), first) == 0) << "first piece altered";
    EXPECT_TRUE(received.compare(first.size(), second.size(), second) == 0)
        << "second piece altered";
}

} // namespace
