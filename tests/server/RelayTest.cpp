// The relays of all sessions share one event loop: a peer that stops reading must hold back only
// its own sender, with nothing piling up in the proxy, and a session must end once however its
// two sides close.
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

#include <gtest/gtest.h>

#include "Dialogue.h"
#include "Limits.h"
#include "TraceCapture.h"
#include "server/Server.h"

namespace {

using namespace testnet;
using Clock = std::chrono::steady_clock;

std::vector<Step> handedOver() {
    return concat(
        {{serverSends("220 up\r\n"), serverExpects("EHLO me\r\n"),
          serverSends("250 AUTH PLAIN\r\n"),
          serverExpects("AUTH PLAIN dXNlcgB1c2VyAHNlY3JldA==\r\n"), serverSends("235 ok\r\n"),
          serverExpects("MAIL FROM:<a@example.com>\r\n"), serverSends("250 sender ok\r\n")}});
}

// A client whose session has been handed over to the server of `port`. With `smallBuffers` the
// client's send buffer and the proxy's receive buffer of that connection stay at 64 KiB.
int relayedClient(int port, bool smallBuffers = false) {
    setEntries({entryFor("example.com", port, MethodPlain)});
    int listenPort = 0;
    const int listener = listenLoopback(&listenPort);
    const int client = connectLoopback(listenPort);
    const int accepted = acceptWithin(listener);
    closeSocketQuietly(listener);
    int small = 64 * 1024;
    if (smallBuffers) {
        setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(accepted, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    startSubTask(accepted);
    readBytes(client, 16);
    sendText(client, "HELO me\r\nMAIL FROM:<a@example.com>\r\n");
    EXPECT_EQ(readBytes(client, 8), "250 OK\r\n");
    EXPECT_EQ(readLine(client), "250 sender ok\r\n");
    return client;
}

// One line of `size` bytes that no two places of which look alike, CR LF ended.
std::string bigLine(std::size_t size, char seed) {
    std::string line;
    for (std::size_t i = 0; line.size() + 2 < size; ++i) {
        line += std::to_string(i * 7 + static_cast<std::size_t>(seed)) + seed;
    }
    return line + "\r\n";
}

// More than the proxy's upstream socket may hold in its send buffer (the other buffers on the
// way stay small), so a relay that kept reading its client would show.
std::size_t beyondKernelBuffers() {
    std::ifstream file("/proc/sys/net/ipv4/tcp_wmem");
    std::size_t low = 0, initial = 0, high = 4 << 20;
    file >> low >> initial >> high;
    return high + (8 << 20);
}

// Sends without waiting until `until`; gives how much went.
std::size_t pushUntil(int socket, const std::string& bytes, std::size_t from,
                      Clock::time_point until) {
    while (from < bytes.size() && Clock::now() < until) {
        pollfd entry{socket, POLLOUT, 0};
        if (poll(&entry, 1, 20) <= 0) {
            continue;
        }
        const ssize_t sent =
            send(socket, bytes.data() + from, bytes.size() - from, MSG_DONTWAIT | MSG_NOSIGNAL);
        from += sent > 0 ? static_cast<std::size_t>(sent) : 0;
    }
    return from;
}

TEST(Relay, AReaderThatStopsHoldsBackOnlyItsOwnSenderThenGetsEveryByte) {
    const std::string up = bigLine(beyondKernelBuffers(), 'u');
    const std::string down = bigLine(16 << 20, 'd');
    constexpr auto kPause = 3s;
    ScriptedServer slow(concat({handedOver(),
                                {serverExpects("DATA\r\n"), serverSends("354 go\r\n"),
                                 serverPauses(kPause), serverExpects(up), serverSends(down),
                                 serverExpects("QUIT\r\n"), serverSends("221 bye\r\n")}}));
    ScriptedServer other(
        concat({handedOver(), {serverExpects("NOOP\r\n"), serverSends("250 ok\r\n")}}));
    const int client = relayedClient(slow.port(), true);
    const int bystander = relayedClient(other.port());
    sendText(client, "DATA\r\n");
    ASSERT_EQ(readLine(client), "354 go\r\n");

    // While the server reads nothing, the client's sending stops once the buffers on the way
    // are full, and the other session on the loop is served meanwhile.
    const auto resumes = Clock::now() + kPause;
    std::size_t sent = pushUntil(client, up, 0, resumes - 2s);
    sendText(bystander, "NOOP\r\n");
    EXPECT_EQ(readLine(bystander, 1500ms), "250 ok\r\n") << "the other session waits";
    sent = pushUntil(client, up, sent, resumes - 1s);
    EXPECT_LT(sent, up.size()) << "the proxy took everything while the server read nothing";
    ASSERT_TRUE(sendText(client, std::string_view(up).substr(sent)));

    // The server's answer waits while the client reads nothing, then arrives whole.
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(readBytes(client, down.size(), 10s) == down) << "the reply changed on the way";
    sendText(client, "QUIT\r\n");
    EXPECT_EQ(readLine(client), "221 bye\r\n");
    closeSocketQuietly(client);
    closeSocketQuietly(bystander);
    ASSERT_TRUE(slow.finish(10s));
    EXPECT_TRUE(slow.mismatches().empty()) << slow.mismatches().front().substr(0, 200);
    EXPECT_TRUE(waitForSessionsToEnd());
}

TEST(Relay, SessionsWhoseTwoSidesCloseTogetherEndOnceWithNothingLeftOpen) {
    // The relay loop of earlier tests lets its descriptors go a moment after their sessions.
    ASSERT_TRUE(waitForSessionsToEnd());
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * limits::kRelayLoopLingerMillis));
    const int baseline = countOpenDescriptors();
    TraceCapture trace;
    constexpr int kSessions = 40;
    for (int i = 0; i < kSessions; ++i) {
        // The server closes right after its reply, the client as soon as it has read it.
        ScriptedServer server(
            concat({handedOver(),
                    {serverExpects("QUIT\r\n"), serverSends("221 bye\r\n"), serverCloses()}}));
        const int client = relayedClient(server.port());
        sendText(client, "QUIT\r\n");
        EXPECT_EQ(readLine(client), "221 bye\r\n");
        closeSocketQuietly(client);
        ASSERT_TRUE(server.finish());
    }
    ASSERT_TRUE(waitForSessionsToEnd());
    trace.stop();
    std::size_t ends = 0;
    for (const std::string& line : trace.lines()) {
        ends += line.rfind("sub task end(", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(ends, static_cast<std::size_t>(kSessions));
    // Once no session is relayed, the loop lets its thread and descriptors go too.
    EXPECT_TRUE(waitUntil([&] { return countOpenDescriptors() == baseline; }, 3s))
        << countOpenDescriptors() << " open instead of " << baseline;
}

} // namespace
