// What a mail client sees from the proxy in every state of its dialogue, and the hand-overs.
#include <gtest/gtest.h>

#include "Dialogue.h"
#include "server/Server.h"

namespace {

using namespace testnet;

const std::string kRefused = "550 Service not available\r\n";
const std::string kAuthOffer = "250 AUTH PLAIN LOGIN CRAM-MD5\r\n";

// The upstream side of a LOGIN for the entry's "user" / "secret", greeted with `ehlo`.
std::vector<Step> loginUpstream(const std::string& ehlo) {
    return {serverSends("220 upstream ready\r\n"),
            serverExpects(ehlo),
            serverSends("250-upstream\r\n250 AUTH LOGIN\r\n"),
            serverExpects("AUTH LOGIN\r\n"),
            serverSends("334 VXNlcm5hbWU6\r\n"),
            serverExpects("dXNlcg==\r\n"),
            serverSends("334 UGFzc3dvcmQ6\r\n"),
            serverExpects("c2VjcmV0\r\n"),
            serverSends("235 ok\r\n")};
}

std::vector<Step> mailFromUpstream() {
    return {serverExpects("MAIL FROM:<a@example.com>\r\n"), serverSends("250 sender ok\r\n")};
}

const Exchange kHelo{"HELO me\r\n", "250 OK\r\n"};
const Exchange kMailFromHandedOver{"MAIL FROM:<a@example.com>\r\n", "250 sender ok\r\n"};

TEST(Dialogue, ProxyAnswersBeforeTheHandOver) {
    const DialogueRow rows[] = {
        {.name = "connect, then QUIT", .server = {}, .client = {{"QUIT\r\n", kRefused}}},
        {.name = "HELO before any EHLO", .server = {}, .client = {kHelo, {"NOOP\r\n", kRefused}}},
        {.name = "EHLO of no configured domain",
         .server = {},
         .client = {{"EHLO host.example.org\r\n", kAuthOffer}, {"NOOP\r\n", kRefused}}},
        {.name = "HELO after EHLO, no configured domain",
         .server = {},
         .client = {{"EHLO a.org\r\n", kAuthOffer},
                    {"HELO b.org\r\n", kAuthOffer},
                    {"QUIT\r\n", kRefused}}},
        {.name = "RSET",
         .server = {},
         .client = {{"RSET\r\n", "250 OK\r\n"},
                    {"rset\r\n", "250 OK\r\n"},
                    {"AUTH LOGIN\r\n", kRefused}}},
        {.name = "MAIL FROM before HELO",
         .server = {},
         .client = {{"MAIL FROM:<a@example.com>\r\n", kRefused}}},
        {.name = "MAIL FROM after two HELOs",
         .server = {},
         .client = {kHelo, kHelo, {"MAIL FROM:<a@example.com>\r\n", kRefused}}},
        {.name = "MAIL FROM of no configured domain",
         .server = {},
         .client = {kHelo, {"MAIL FROM:<a@example.org>\r\n", "550 domain name error\r\n"}}},
        {.name = "MAIL FROM without its colon",
         .server = {},
         .client = {kHelo, {"MAIL FROM <a@example.com>\r\n", kRefused}}},
        {.name = "an empty line", .server = {}, .client = {{"\r\n", kRefused}}},
        {.name = "client login", .server = {}, .client = {{"AUTH PLAIN AHUAcA==\r\n", kRefused}}},
        {.name = "upstream connect fails (EHLO)",
         .server = {},
         .client = {{"EHLO mx.example.com\r\n", "421 Can not be connected to SMTP server\r\n"}}},
        {.name = "upstream connect fails (MAIL FROM)",
         .server = {},
         .client = {kHelo,
                    {"MAIL FROM:<a@example.com>\r\n",
                     "421 Can not be connected to SMTP server\r\n"}}},
    };
    for (const DialogueRow& row : rows) {
        runDialogue(row);
    }
}

TEST(Dialogue, HandOverAfterLogin) {
    const DialogueRow rows[] = {
        {.name = "EHLO ending in the domain: one-line answer naming the server",
         .server = concat({loginUpstream("EHLO client.example.com\r\n"), serverQuit()}),
         .client = {{"EHLO client.example.com\r\n", "250 127.0.0.1\r\n"}, clientQuit()}},
        {.name = "HELO after EHLO, the HELO ending in the domain",
         .server = concat({loginUpstream("EHLO c.example.com\r\n"), serverQuit()}),
         .client = {{"EHLO other.org\r\n", kAuthOffer},
                    {"HELO c.example.com\r\n", "250 127.0.0.1\r\n"},
                    clientQuit()}},
        {.name = "MAIL FROM after one HELO: the server answers the forwarded line",
         .server = concat({loginUpstream("EHLO me\r\n"), mailFromUpstream(), serverQuit()}),
         .client = {kHelo, kMailFromHandedOver, clientQuit()}},
        {.name = "HELO, unmatched EHLO, MAIL FROM: the EHLO line greets the server",
         .server = concat({loginUpstream("EHLO other.org\r\n"), mailFromUpstream(), serverQuit()}),
         .client = {kHelo,
                    {"EHLO other.org\r\n", kAuthOffer},
                    {"RSET\r\n", "250 OK\r\n"},
                    kMailFromHandedOver,
                    clientQuit()}},
        {.name = "MAIL FROM after an unmatched EHLO, as most mail clients send it",
         .server =
             concat({loginUpstream("EHLO host.example.org\r\n"), mailFromUpstream(), serverQuit()}),
         .client = {{"EHLO host.example.org\r\n", kAuthOffer}, kMailFromHandedOver, clientQuit()}},
        {.name = "upstream login fails",
         .server = {serverSends("220 up\r\n"), serverExpects("EHLO me\r\n"),
                    serverSends("250 AUTH LOGIN\r\n"), serverExpects("AUTH LOGIN\r\n"),
                    serverSends("535 no\r\n")},
         .client = {kHelo, {"MAIL FROM:<a@example.com>\r\n", kRefused}}},
    };
    for (const DialogueRow& row : rows) {
        runDialogue(row);
    }
}

TEST(Dialogue, MethodNoneReplaysTheClientsGreeting) {
    const DialogueRow rows[] = {
        {.name = "EHLO: the server's own reply",
         .method = MethodNone,
         .server = concat({{serverSends("220 up\r\n"), serverExpects("EHLO mx.example.com\r\n"),
                            serverSends("250-up\r\n250 SIZE 100\r\n")},
                           serverQuit()}),
         .client = {{"EHLO mx.example.com\r\n", "250-up\r\n250 SIZE 100\r\n"}, clientQuit()}},
        {.name = "EHLO: a greeting of three lines is read to its end",
         .method = MethodNone,
         .server = concat({{serverSends("220-up\r\n220-more\r\n220 ready\r\n"),
                            serverExpects("EHLO mx.example.com\r\n"), serverSends("250 up\r\n")},
                           serverQuit()}),
         .client = {{"EHLO mx.example.com\r\n", "250 up\r\n"}, clientQuit()}},
        {.name = "EHLO: a greeting other than 220 goes to the client",
         .method = MethodNone,
         .server = {serverSends("554 go away\r\n")},
         .client = {{"EHLO mx.example.com\r\n", "554 go away\r\n"}}},
        {.name = "EHLO: the server closes before its greeting",
         .method = MethodNone,
         .server = {serverCloses()},
         .client = {{"EHLO mx.example.com\r\n", "421 Can not be connected to SMTP server\r\n"}}},
        {.name = "MAIL FROM: greeting and HELO replies of several lines",
         .method = MethodNone,
         .server = concat({{serverSends("220-up\r\n220 ready\r\n"), serverExpects("HELO me\r\n"),
                            serverSends("250-up\r\n250 HELP\r\n")},
                           mailFromUpstream(),
                           serverQuit()}),
         .client = {kHelo, kMailFromHandedOver, clientQuit()}},
        {.name = "MAIL FROM: a HELO reply other than 250 goes to the client",
         .method = MethodNone,
         .server = {serverSends("220 up\r\n"), serverExpects("HELO me\r\n"),
                    serverSends("501 bad\r\n")},
         .client = {kHelo, {"MAIL FROM:<a@example.com>\r\n", "501 bad\r\n"}}},
        {.name = "MAIL FROM: a greeting other than 220 goes to the client",
         .method = MethodNone,
         .server = {serverSends("421 busy\r\n")},
         .client = {kHelo, {"MAIL FROM:<a@example.com>\r\n", "421 busy\r\n"}}},
    };
    for (const DialogueRow& row : rows) {
        runDialogue(row);
    }
}

TEST(Dialogue, EntriesAreChosenInListOrder) {
    ScriptedServer first(concat(
        {{serverSends("220 first\r\n"), serverExpects("HELO me\r\n"), serverSends("250 first\r\n")},
         mailFromUpstream(),
         serverQuit()}));
    const int unused = freePort();
    // The first entry that the sender's address contains wins, even with a longer match later.
    setEntries({entryFor("example.com", first.port(), MethodNone),
                entryFor("mail.example.com", unused, MethodNone),
                entryFor("", unused, MethodNone)});
    const int client = startSession();
    EXPECT_EQ(readBytes(client, 16), "220 SMTP Proxy\r\n");
    sendText(client, "HELO me\r\n");
    EXPECT_EQ(readBytes(client, 8), "250 OK\r\n");
    sendText(client, "MAIL FROM:<a@example.com>\r\n");
    EXPECT_EQ(readLine(client), "250 sender ok\r\n");
    sendText(client, "QUIT\r\n");
    EXPECT_EQ(readLine(client), "221 bye\r\n");
    closeSocketQuietly(client);
    EXPECT_TRUE(first.finish());
    EXPECT_TRUE(first.mismatches().empty());
    EXPECT_TRUE(waitForSessionsToEnd());
}

TEST(Dialogue, AnEmptyDomainMatchesEveryEhloButNoMailFrom) {
    ProxyData found;
    setEntries({entryFor("", 25, MethodNone)});
    EXPECT_EQ(findEntry(found, "EHLO anything.org", 0), 0);
    EXPECT_EQ(findEntry(found, "MAIL FROM:<a@b.org>", 1), -1);
    setEntries({entryFor("example.com", 25, MethodNone, "first"),
                entryFor("mail.example.com", 26, MethodNone, "second")});
    ASSERT_EQ(findEntry(found, "MAIL FROM:<a@mail.EXAMPLE.com>", 1), 0);
    EXPECT_EQ(found.User, "first");
    EXPECT_EQ(found.Index, 0);
    ASSERT_EQ(findEntry(found, "EHLO x.mail.example.com  ", 0), 0);
    EXPECT_EQ(found.User, "first");
    EXPECT_EQ(findEntry(found, "MAIL FROM <a@example.com>", 1), -1);
    EXPECT_EQ(findEntry(found, "EHLO example.org", 0), -1);
}

TEST(Relay, PipelinedCommandsAndALargeBodyPassUnchanged) {
    std::string body;
    for (int i = 0; body.size() < 1'000'000; ++i) {
        body += "line " + std::to_string(i) + " \xe9\xff\x80 text\r\n";
        if (i % 97 == 0) {
            body += "..dot-stuffed\r\n";
        }
        if (i % 501 == 0) {
            body += "bare LF\nand CR\r alone\r\n";
        }
    }
    body += ".\r\n";
    ScriptedServer server(
        concat({loginUpstream("EHLO me\r\n"),
                mailFromUpstream(),
                {serverExpects("RCPT TO:<b@example.org>\r\n"),
                 serverExpects("RCPT TO:<c@example.org>\r\n"), serverExpects("DATA\r\n"),
                 serverSends("250 ok\r\n250 ok\r\n354 go\r\n")}}));
    setEntries({entryFor("example.com", server.port(), MethodLogin)});
    const int client = startSession();
    EXPECT_EQ(readBytes(client, 16), "220 SMTP Proxy\r\n");
    sendText(client, "HELO me\r\nMAIL FROM:<a@example.com>\r\n");
    EXPECT_EQ(readBytes(client, 8), "250 OK\r\n");
    EXPECT_EQ(readLine(client), "250 sender ok\r\n");
    sendText(client, "RCPT TO:<b@example.org>\r\nRCPT TO:<c@example.org>\r\nDATA\r\n");
    EXPECT_EQ(readBytes(client, 24), "250 ok\r\n250 ok\r\n354 go\r\n");
    ASSERT_TRUE(sendText(client, body));
    closeSocketQuietly(client); // the relay forwards all it read, then ends on the close
    ASSERT_TRUE(server.finish(10s));
    const std::string received = server.received();
    const std::string head = "RCPT TO:<b@example.org>\r\nRCPT TO:<c@example.org>\r\nDATA\r\n";
    const std::size_t start = received.find(head);
    ASSERT_NE(start, std::string::npos);
    EXPECT_TRUE(received.substr(start + head.size()) == body) << "the body changed in the relay";
    EXPECT_TRUE(server.sawClose());
    EXPECT_TRUE(waitForSessionsToEnd());
}

} // namespace
