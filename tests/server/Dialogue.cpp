#include "Dialogue.h"

#include <gtest/gtest.h>

#include <memory>

namespace testnet {

std::vector<Step> concat(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::vector<Step> serverQuit() {
    return {serverExpects("QUIT\r\n"), serverSends("221 bye\r\n"), serverCloses()};
}

void runDialogue(const DialogueRow& row) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<ScriptedServer> server;
    int port = 0;
    if (!row.server.empty()) {
        server = std::make_unique<ScriptedServer>(row.server);
        port = server->port();
    } else {
        port = freePort();
    }
    setEntries({entryFor(row.domain, port, row.method, row.user, row.password)});

    const int client = startSession();
    ASSERT_GE(client, 0);
    EXPECT_EQ(readBytes(client, 16), "220 SMTP Proxy\r\n");
    for (const Exchange& exchange : row.client) {
        if (!exchange.send.empty()) {
            ASSERT_TRUE(sendText(client, exchange.send));
        }
        EXPECT_EQ(readBytes(client, exchange.expect.size()), exchange.expect)
            << "after " << exchange.send;
    }
    bool closed = false;
    EXPECT_EQ(readUntilClosed(client, &closed), "");
    EXPECT_TRUE(closed) << "the proxy keeps the client's connection open";
    closeSocketQuietly(client);
    EXPECT_TRUE(waitForSessionsToEnd());

    if (server) {
        EXPECT_TRUE(server->finish());
        EXPECT_TRUE(server->accepted());
        std::string expected;
        for (const Step& step : row.server) {
            if (step.kind == Step::Kind::Expect) {
                expected += step.bytes;
            }
        }
        EXPECT_EQ(server->received(), expected);
        for (const std::string& mismatch : server->mismatches()) {
            ADD_FAILURE() << mismatch;
        }
    }
}

} // namespace testnet
