// The trace of one mail, line for line, and what the trace never holds.
#include <gtest/gtest.h>

#include "Dialogue.h"
#include "EngineSetup.h"
#include "TraceCapture.h"
#include "server/Server.h"

namespace {

using namespace testnet;

TEST(Trace, OneCramMd5MailStepByStep) {
    // Sessions of earlier tests in this process may still be tracing their ends.
    ASSERT_TRUE(testsupport::waitForSessionsToEnd());
    TraceCapture trace;
    DialogueRow row;
    row.name = "CRAM-MD5 mail";
    row.method = MethodCramMd5;
    row.user = "tim";
    row.password = "tanstaaftanstaaf";
    row.server = {
        serverSends("220 upstream ready\r\n"),
        serverExpects("EHLO client.example\r\n"),
        serverSends("250-upstream\r\n250 AUTH CRAM-MD5\r\n"),
        serverExpects("AUTH CRAM-MD5\r\n"),
        serverSends("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"),
        serverExpects("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n"),
        serverSends("235 ok\r\n"),
        serverExpects("MAIL FROM:<tim@example.com>\r\n"),
        serverSends("250 ok\r\n"),
        serverExpects("QUIT\r\n"),
        serverSends("221 bye\r\n"),
        serverCloses(),
    };
    row.client = {{"HELO client.example\r\n", "250 OK\r\n"},
                  {"MAIL FROM:<tim@example.com>\r\n", "250 ok\r\n"},
                  {"QUIT\r\n", "221 bye\r\n"}};
    runDialogue(row);

    std::vector<std::string> lines = trace.lines();
    ASSERT_GE(lines.size(), 2u);
    const std::string& first = lines.front();
    ASSERT_EQ(first.rfind("sub task start(", 0), 0u) << first;
    const std::string id = first.substr(15, first.find(')') - 15);
    EXPECT_EQ(first, "sub task start(" + id + ") w=1");
    ASSERT_NE(lines[6].find("ConnectStart(127.0.0.1, 127.0.0.1 : "), std::string::npos);
    const std::vector<std::string> expected = {
        "sub task start(" + id + ") w=1",
        "send:220 SMTP Proxy",
        "get :HELO client.example",
        "send:250 OK",
        "get :MAIL FROM:<tim@example.com>",
        "server=127.0.0.1",
        lines[6],
        "Get :220 upstream ready",
        "mode=0,code=220",
        "send:EHLO client.example",
        "Get :250-upstream",
        "mode=1,code=250",
        "Get :250 AUTH CRAM-MD5",
        "send:AUTH CRAM-MD5",
        "Get :334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+",
        "mode=2,code=334",
        "key=[<1896.697170952@postoffice.reston.mci.net>]",
        "CODE=tim",
        "Send CRAM-MD5 response",
        "Get :235 ok",
        "mode=4,code=235",
        "send:MAIL FROM:<tim@example.com>",
        "Work Started of After SMTP AUTH",
        "Server Read Error",
        "sub task end(" + id + ")",
    };
    EXPECT_EQ(lines, expected);
    // DebugLog lines end in CR LF; sent lines are traced with their own LF only.
    EXPECT_NE(trace.text().find("sub task start(" + id + ") w=1\r\n"), std::string::npos);
    EXPECT_NE(trace.text().find("send:250 OK\n"), std::string::npos);
    EXPECT_EQ(trace.text().find("send:250 OK\r\n"), std::string::npos);
}

TEST(Trace, NoPasswordEverAppears) {
    TraceCapture trace;
    const std::string password = "S3cr3t-Pa55";
    // Base64 of the password, of "user NUL user NUL password" and of the LOGIN password line.
    const std::vector<std::string> secrets = {password,
                                              "UzNjcjN0LVBhNTU=", "dXNlcgB1c2VyAFMzY3IzdC1QYTU1"};
    DialogueRow plain;
    plain.name = "PLAIN";
    plain.method = MethodPlain;
    plain.password = password;
    plain.server = {
        serverSends("220 up\r\n"),         serverExpects("EHLO mx.example.com\r\n"),
        serverSends("250 AUTH PLAIN\r\n"), serverExpects("AUTH PLAIN " + secrets[2] + "\r\n"),
        serverSends("235 ok\r\n"),         serverExpects("QUIT\r\n"),
        serverSends("221 bye\r\n"),        serverCloses()};
    plain.client = {{"EHLO mx.example.com\r\n", "250 127.0.0.1\r\n"}, clientQuit()};
    runDialogue(plain);

    DialogueRow login = plain;
    login.name = "LOGIN";
    login.method = MethodLogin;
    login.server = {serverSends("220 up\r\n"),           serverExpects("EHLO mx.example.com\r\n"),
                    serverSends("250 AUTH LOGIN\r\n"),   serverExpects("AUTH LOGIN\r\n"),
                    serverSends("334 VXNlcm5hbWU6\r\n"), serverExpects("dXNlcg==\r\n"),
                    serverSends("334 UGFzc3dvcmQ6\r\n"), serverExpects(secrets[1] + "\r\n"),
                    serverSends("235 ok\r\n"),           serverExpects("QUIT\r\n"),
                    serverSends("221 bye\r\n"),          serverCloses()};
    runDialogue(login);

    const std::string text = trace.text();
    for (const std::string& secret : secrets) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
    EXPECT_EQ(text.find("AUTH PLAIN "), std::string::npos);
    EXPECT_NE(text.find("Send AUTH PLAIN\r\n"), std::string::npos);
    EXPECT_NE(text.find("Send Password\r\n"), std::string::npos);
    EXPECT_NE(text.find("send:dXNlcg==\n"), std::string::npos); // the user name is traced
}

} // namespace
