// A peer that goes away at any step ends only its own session, with both sockets closed and no
// descriptor left behind.
#include <gtest/gtest.h>

#include "Dialogue.h"
#include "server/Server.h"

namespace {

using namespace testnet;

const std::vector<Exchange> kClientSteps = {
    {"HELO me\r\n", "250 OK\r\n"},
    {"MAIL FROM:<a@example.com>\r\n", "250 sender ok\r\n"},
    {"RCPT TO:<b@example.org>\r\n", "250 rcpt ok\r\n"},
    {"QUIT\r\n", "221 bye\r\n"},
};

const std::vector<Step> kServerSteps = {
    serverSends("220 up\r\n"),
    serverExpects("EHLO me\r\n"),
    serverSends("250-up\r\n250 AUTH LOGIN\r\n"),
    serverExpects("AUTH LOGIN\r\n"),
    serverSends("334 VXNlcm5hbWU6\r\n"),
    serverExpects("dXNlcg==\r\n"),
    serverSends("334 UGFzc3dvcmQ6\r\n"),
    serverExpects("c2VjcmV0\r\n"),
    serverSends("235 ok\r\n"),
    serverExpects("MAIL FROM:<a@example.com>\r\n"),
    serverSends("250 sender ok\r\n"),
    serverExpects("RCPT TO:<b@example.org>\r\n"),
    serverSends("250 rcpt ok\r\n"),
    serverExpects("QUIT\r\n"),
    serverSends("221 bye\r\n"),
};

// A session that idles beside the ones that break, and must not notice them.
class Bystander {
  public:
    Bystander() : socket_(startSession()) {
        readBytes(socket_, 16);
        sendText(socket_, "HELO bystander\r\n");
        readBytes(socket_, 8);
    }
    ~Bystander() { closeSocketQuietly(socket_); }
    bool stillServed() {
        sendText(socket_, "RSET\r\n");
        return readBytes(socket_, 8, 2s) == "250 OK\r\n";
    }

  private:
    int socket_;
};

bool descriptorsSettleAt(int count) {
    return waitUntil([count] { return countOpenDescriptors() == count; }, 2s);
}

// Plays the client's first `steps` exchanges as far as the proxy goes along; with `sendNext`
// the next command is sent without waiting for its answer.
void playClient(int client, std::size_t steps, bool sendNext) {
    readBytes(client, 16, 2s);
    for (std::size_t i = 0; i < steps && i < kClientSteps.size(); ++i) {
        sendText(client, kClientSteps[i].send);
        if (readBytes(client, kClientSteps[i].expect.size(), 2s) != kClientSteps[i].expect) {
            break;
        }
    }
    if (sendNext && steps < kClientSteps.size()) {
        sendText(client, kClientSteps[steps].send);
    }
}

TEST(Disconnect, AClientLeavingAtAnyStepEndsOnlyItsSession) {
    Bystander bystander;
    ASSERT_TRUE(waitForActiveSessions(1));
    const int baseline = countOpenDescriptors();
    for (std::size_t step = 0; step <= kClientSteps.size(); ++step) {
        for (const bool midStep : {false, true}) {
            SCOPED_TRACE("client leaves at step " + std::to_string(step) +
                         (midStep ? " after sending" : ""));
            {
                ScriptedServer server(kServerSteps);
                setEntries({entryFor("example.com", server.port(), MethodLogin)});
                const int client = startSession();
                playClient(client, step, midStep);
                closeSocketQuietly(client);
                EXPECT_TRUE(waitForActiveSessions(1));
                if (server.accepted()) {
                    EXPECT_TRUE(server.finish());
                    EXPECT_TRUE(server.sawClose()) << "the upstream connection stays open";
                }
            }
            EXPECT_TRUE(bystander.stillServed());
            EXPECT_TRUE(descriptorsSettleAt(baseline)) << countOpenDescriptors() << " open";
        }
    }
}

TEST(Disconnect, AServerLeavingAtAnyStepEndsOnlyItsSession) {
    Bystander bystander;
    ASSERT_TRUE(waitForActiveSessions(1));
    const int baseline = countOpenDescriptors();
    for (std::size_t step = 0; step < kServerSteps.size(); ++step) {
        SCOPED_TRACE("server leaves before step " + std::to_string(step));
        {
            std::vector<Step> script(kServerSteps.begin(),
                                     kServerSteps.begin() + static_cast<long>(step));
            script.push_back(serverCloses());
            ScriptedServer server(script);
            setEntries({entryFor("example.com", server.port(), MethodLogin)});
            const int client = startSession();
            playClient(client, kClientSteps.size(), false);
            bool closed = false;
            readUntilClosed(client, &closed);
            EXPECT_TRUE(closed) << "the client's connection stays open";
            closeSocketQuietly(client);
            EXPECT_TRUE(waitForActiveSessions(1));
        }
        EXPECT_TRUE(bystander.stillServed());
        EXPECT_TRUE(descriptorsSettleAt(baseline)) << countOpenDescriptors() << " open";
    }
}

} // namespace
