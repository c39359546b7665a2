// Load: many mails through 50 concurrent client sessions to a real SMTP server on loopback, every
// message compared byte for byte where the server received it. Nothing may be lost or altered.
// VELLOMIR_LOAD_MAILS sets the number of mails (1,000 by default; scripts/load runs 10,000).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
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

constexpr int kSessions = 50;
constexpr int kMailsPerConnection = 20;

int MailCount() {
    const char* text = std::getenv("VELLOMIR_LOAD_MAILS");
    const int count = text != nullptr ? std::atoi(text) : 0;
    return count > 0 ? count : 1000;
}

// A message of its own for every mail: an id header, then lines of printable and 8-bit bytes
// (no CR or LF inside a line), some starting with a dot (sent dot-stuffed), some empty.
std::string MakeMessage(int id, std::mt19937& random) {
    std::string message = "Message-Id: <" + std::to_string(id) + "@load.test>\r\n\r\n";
    const int lines = static_cast<int>(random() % 400);
    for (int i = 0; i < lines; ++i) {
        const int kind = static_cast<int>(random() % 10);
        if (kind == 0) {
            message += "\r\n";
            continue;
        }
        std::string line = kind == 1 ? ".." : "";
        const int length = static_cast<int>(random() % 200);
        for (int j = 0; j < length; ++j) {
            char c;
            do {
                c = static_cast<char>(random() % 256);
            } while (c == '\r' || c == '\n');
            line += c;
        }
        if (!line.empty() && line[0] == '.' && kind != 1) {
            line.insert(0, "."); // dot-stuffing, as a mail client sends it
        }
        message += line + "\r\n";
    }
    return message;
}

struct Expected {
    std::string message;
    std::string user;
};

TEST(Load, EveryMailArrivesUnchangedThroughFiftySessions) {
    const int mails = MailCount();
    FaultUpstream upstream("loaduser", "load-Pw#1");
    UpstreamPlan plan;
    plan.keepReceived = false;
    upstream.setPlan(plan);
    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    std::vector<ProxyData> entries;
    for (const std::int32_t method : {MethodLogin, MethodPlain, MethodCramMd5, MethodAuto}) {
        entries.push_back(entryFor("m" + std::to_string(entries.size()) + ".load.test",
                                   upstream.port(), method, "loaduser", "load-Pw#1"));
    }
    setEntries(entries);

    std::vector<std::string> messages(static_cast<std::size_t>(mails));
    std::mt19937 random(20240601);
    for (int id = 0; id < mails; ++id) {
        messages[static_cast<std::size_t>(id)] = MakeMessage(id, random);
    }

    std::atomic<int> nextMail{0};
    std::atomic<int> accepted{0};
    std::atomic<int> clientErrors{0};
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < kSessions; ++w) {
        workers.emplace_back([&, w] {
            const std::string domain = "m" + std::to_string(w % 4) + ".load.test";
            while (nextMail.load() < mails) {
                const int client = connectLoopback(port);
                std::string line;
                if (client < 0 || !readLine(client, &line, 10s) ||
                    !sendText(client, "HELO load" + std::to_string(w) + "\r\n") ||
                    !readLine(client, &line, 10s) || line != "250 OK\r\n") {
                    ++clientErrors;
                    if (client >= 0) {
                        ::close(client);
                    }
                    return;
                }
                for (int k = 0; k < kMailsPerConnection; ++k) {
                    const int id = nextMail.fetch_add(1);
                    if (id >= mails) {
                        break;
                    }
                    // The first MAIL FROM is the hand-over: the proxy drops client bytes that
                    // come before the server's reply to it, so only later mails are pipelined.
                    const std::string mailFrom =
                        "MAIL FROM:<w" + std::to_string(w) + "@" + domain + ">\r\n";
                    const std::string rest = "RCPT TO:<r@far.test>\r\nDATA\r\n";
                    const std::string replies = "250 2.1.5 recipient ok\r\n"
                                                "354 end with <CRLF>.<CRLF>\r\n";
                    const std::string senderOk = "250 2.1.0 sender ok\r\n";
                    const bool sent =
                        k == 0 ? sendText(client, mailFrom) &&
                                     readBytes(client, senderOk.size(), 10s) == senderOk &&
                                     sendText(client, rest) &&
                                     readBytes(client, replies.size(), 10s) == replies
                               : sendText(client, mailFrom + rest) &&
                                     readBytes(client, senderOk.size() + replies.size(), 10s) ==
                                         senderOk + replies;
                    if (!sent ||
                        !sendText(client, messages[static_cast<std::size_t>(id)] + ".\r\n") ||
                        !readLine(client, &line, 10s) || line != "250 2.0.0 queued\r\n") {
                        ++clientErrors;
                        ::close(client);
                        return;
                    }
                    ++accepted;
                }
                sendText(client, "QUIT\r\n");
                peerClosed(client, 10s);
                ::close(client);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(upstream.waitIdle(10s));

    // Every message the server received, by its id.
    std::map<int, int> seen;
    int altered = 0;
    int received = 0;
    for (int c = 0; c < upstream.accepted(); ++c) {
        auto connection = upstream.nextConnection(1s);
        ASSERT_NE(connection, nullptr);
        std::lock_guard lock(connection->mutex);
        EXPECT_EQ(connection->loggedInAs, "loaduser");
        for (const std::string& message : connection->messages) {
            ++received;
            int id = -1;
            if (std::sscanf(message.c_str(), "Message-Id: <%d@load.test>", &id) != 1 || id < 0 ||
                id >= mails) {
                ++altered;
                continue;
            }
            ++seen[id];
            altered += message != messages[static_cast<std::size_t>(id)] ? 1 : 0;
        }
    }
    int lost = 0;
    int duplicated = 0;
    for (int id = 0; id < mails; ++id) {
        const auto it = seen.find(id);
        lost += it == seen.end() ? 1 : 0;
        duplicated += it != seen.end() && it->second > 1 ? 1 : 0;
    }
    std::printf("load: %d mails sent through %d concurrent sessions in %.1f s (%.0f mails/s): "
                "%d accepted, %d received, %d lost, %d altered, %d duplicated, %d client errors\n",
                mails, kSessions, seconds, mails / seconds, accepted.load(), received, lost,
                altered, duplicated, clientErrors.load());
    RecordProperty("mails", mails);
    RecordProperty("lost", lost);
    RecordProperty("altered", altered);
    EXPECT_EQ(clientErrors.load(), 0);
    EXPECT_EQ(accepted.load(), mails);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(altered, 0);
    EXPECT_EQ(duplicated, 0);
    EXPECT_TRUE(waitUntil([] { return activeSubTasks() == 0; }, 10s));
}

} // namespace
