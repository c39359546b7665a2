// The upstream login of every method, byte for byte, and the ways it fails.
#include <gtest/gtest.h>

#include "Dialogue.h"
#include "TraceCapture.h"
#include "server/Server.h"

namespace {

using namespace testnet;

const std::string kRefused = "550 Service not available\r\n";

// The client greets with an EHLO that ends in the entry's domain; on a successful login the
// proxy answers "250 127.0.0.1" and relays QUIT.
DialogueRow loginRow(std::string name, std::int32_t method, std::vector<Step> exchange,
                     bool succeeds = true, std::string greeting = "220 upstream\r\n") {
    DialogueRow row;
    row.name = std::move(name);
    row.method = method;
    row.server = {serverSends(std::move(greeting)), serverExpects("EHLO mx.example.com\r\n")};
    row.server.insert(row.server.end(), exchange.begin(), exchange.end());
    if (succeeds) {
        row.server = concat({row.server, serverQuit()});
        row.client = {{"EHLO mx.example.com\r\n", "250 127.0.0.1\r\n"}, clientQuit()};
    } else {
        row.client = {{"EHLO mx.example.com\r\n", kRefused}};
    }
    return row;
}

const std::vector<Step> kLogin = {
    serverExpects("AUTH LOGIN\r\n"), serverSends("334 VXNlcm5hbWU6\r\n"),
    serverExpects("dXNlcg==\r\n"),   serverSends("334 UGFzc3dvcmQ6\r\n"),
    serverExpects("c2VjcmV0\r\n"),   serverSends("235 ok\r\n")};
const std::vector<Step> kPlain = {serverExpects("AUTH PLAIN dXNlcgB1c2VyAHNlY3JldA==\r\n"),
                                  serverSends("235 ok\r\n")};
// RFC 2195's worked example: user tim, password tanstaaftanstaaf.
const std::vector<Step> kCramMd5 = {
    serverExpects("AUTH CRAM-MD5\r\n"),
    serverSends("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"),
    serverExpects("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n"),
    serverSends("235 ok\r\n")};

std::vector<Step> ehloReply(const char* lines, const std::vector<Step>& then) {
    return concat({{serverSends(lines)}, then});
}

DialogueRow withCredentials(DialogueRow row, std::string user, std::string password) {
    row.user = std::move(user);
    row.password = std::move(password);
    return row;
}

TEST(Login, EachMethodLogsIn) {
    const DialogueRow rows[] = {
        loginRow("LOGIN", MethodLogin, ehloReply("250-up\r\n250 AUTH LOGIN\r\n", kLogin)),
        loginRow("PLAIN", MethodPlain, ehloReply("250-up\r\n250 AUTH PLAIN\r\n", kPlain)),
        withCredentials(loginRow("CRAM-MD5", MethodCramMd5,
                                 ehloReply("250-up\r\n250 AUTH CRAM-MD5\r\n", kCramMd5)),
                        "tim", "tanstaaftanstaaf"),
        withCredentials(loginRow("PLAIN, one-letter user and password", MethodPlain,
                                 ehloReply("250 up\r\n", {serverExpects("AUTH PLAIN dQB1AHA=\r\n"),
                                                          serverSends("235 ok\r\n")})),
                        "u", "p"),
        loginRow("a single-line EHLO reply", MethodLogin, ehloReply("250 up\r\n", kLogin)),
        loginRow("a greeting of several lines (mended)", MethodLogin,
                 ehloReply("250-up\r\n250 AUTH LOGIN\r\n", kLogin), true,
                 "220-upstream\r\n220-welcome\r\n220 ready\r\n"),
        loginRow("an unknown method code behaves as AUTO", 7,
                 ehloReply("250-up\r\n250-AUTH PLAIN\r\n250 OK\r\n", kPlain)),
    };
    for (const DialogueRow& row : rows) {
        runDialogue(row);
    }
}

TEST(Login, AutoChoosesTheBestOfferedMethod) {
    const DialogueRow rows[] = {
        withCredentials(
            loginRow(
                "CRAM-MD5 from LOGIN PLAIN CRAM-MD5", MethodAuto,
                ehloReply("250-up\r\n250-AUTH LOGIN PLAIN CRAM-MD5\r\n250 8BITMIME\r\n", kCramMd5)),
            "tim", "tanstaaftanstaaf"),
        loginRow("PLAIN from LOGIN PLAIN", MethodAuto,
                 ehloReply("250-up\r\n250-AUTH LOGIN PLAIN\r\n250 SIZE\r\n", kPlain)),
        loginRow("LOGIN from LOGIN", MethodAuto,
                 ehloReply("250-up\r\n250-AUTH LOGIN\r\n250 SIZE\r\n", kLogin)),
        loginRow("LOGIN when none of the three is named", MethodAuto,
                 ehloReply("250-up\r\n250-AUTH GSSAPI XOAUTH2\r\n250 SIZE\r\n", kLogin)),
        loginRow("letter case is ignored", MethodAuto,
                 ehloReply("250-up\r\n250-auth=plain\r\n250 SIZE\r\n", kPlain)),
        loginRow("only the first AUTH line counts", MethodAuto,
                 ehloReply("250-up\r\n250-AUTH LOGIN\r\n250 AUTH CRAM-MD5\r\n", kLogin)),
        loginRow("AUTH on the last line only (mended)", MethodAuto,
                 ehloReply("250-up\r\n250-SIZE\r\n250 AUTH PLAIN LOGIN\r\n", kPlain)),
    };
    for (const DialogueRow& row : rows) {
        runDialogue(row);
    }
}

TEST(Login, FailuresRefuseTheClient) {
    const std::string longName(1600, 'n');
    const DialogueRow rows[] = {
        loginRow("535 to the password", MethodLogin,
                 ehloReply("250 up\r\n", {kLogin[0], kLogin[1], kLogin[2], kLogin[3], kLogin[4],
                                          serverSends("535 wrong\r\n")}),
                 false),
        loginRow("EHLO refused", MethodLogin, {serverSends("500 what\r\n")}, false),
        loginRow("no AUTH offered with AUTO (mended)", MethodAuto,
                 {serverSends("250-up\r\n250 SIZE\r\n")}, false),
        loginRow("334 expected, 250 came", MethodCramMd5,
                 ehloReply("250 up\r\n",
                           {serverExpects("AUTH CRAM-MD5\r\n"), serverSends("250 what\r\n")}),
                 false),
        withCredentials(loginRow("PLAIN with a user name too long for a line (mended)", MethodPlain,
                                 {serverSends("250 up\r\n")}, false),
                        longName, "secret"),
        withCredentials(
            loginRow("LOGIN with a password too long for a line (mended)", MethodLogin,
                     ehloReply("250 up\r\n", {kLogin[0], kLogin[1], kLogin[2], kLogin[3]}), false),
            "user", longName),
        withCredentials(loginRow("CRAM-MD5 with a user name too long for a line (mended)",
                                 MethodCramMd5, ehloReply("250 up\r\n", {kCramMd5[0], kCramMd5[1]}),
                                 false),
                        longName, "secret"),
    };
    for (const DialogueRow& row : rows) {
        runDialogue(row);
    }
}

TEST(Login, AGreetingWithoutArgumentSendsEhloAndASpace) {
    DialogueRow row;
    row.name = "bare EHLO, entry with an empty domain";
    row.domain = "";
    row.server = concat({{serverSends("220 up\r\n"), serverExpects("EHLO \r\n")},
                         ehloReply("250 up\r\n", kLogin),
                         serverQuit()});
    row.client = {{"EHLO\r\n", "250 127.0.0.1\r\n"}, clientQuit()};
    runDialogue(row);
}

TEST(Login, TheReasonOfAFailedAutoLoginIsTraced) {
    TraceCapture trace;
    runDialogue(loginRow("no AUTH", MethodAuto, {serverSends("250 up\r\n")}, false));
    EXPECT_TRUE(trace.contains("Auth no AUTH offered\r\n"));
    runDialogue(
        withCredentials(loginRow("too long", MethodPlain, {serverSends("250 up\r\n")}, false), "u",
                        std::string(3000, 'p')));
    EXPECT_TRUE(trace.contains("Auth user or password too long\r\n"));
}

} // namespace
