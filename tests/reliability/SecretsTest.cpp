// Secrets in the trace: every login method, with the diagnostic channel in each of its modes
// (log file, UDP datagrams to a loopback receiver, standard error), carries one mail; nothing the
// channel wrote may contain the password, its Base64 form or the AUTH PLAIN payload.
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AuthText.h"
#include "EngineSetup.h"
#include "FaultUpstream.h"
#include "LoopbackSocket.h"
#include "ProcessState.h"
#include "TraceCapture.h"
#include "config/Proxydata.h"
#include "diag/Proginit.h"
#include "server/Server.h"

using namespace std::chrono_literals;

namespace {

using namespace testsupport;

constexpr const char* kUser = "secret.user";
constexpr const char* kPassword = "Tr4ce-Me-N0t!";

std::vector<std::string> Secrets() {
    const std::string user = kUser;
    return {kPassword, toBase64(kPassword), toBase64(user + '\0' + user + '\0' + kPassword)};
}

struct Row {
    const char* name;
    std::int32_t method;
    std::vector<std::string> ehloLines;
    const char* proofOfLogin; // a trace line only this login writes
};

const std::vector<Row> kRows = {
    {"LOGIN", MethodLogin, {"250-up", "250-AUTH LOGIN", "250 OK"}, "Send Password"},
    {"PLAIN", MethodPlain, {"250-up", "250-AUTH PLAIN", "250 OK"}, "Send AUTH PLAIN"},
    {"CRAM-MD5", MethodCramMd5, {"250-up", "250-AUTH CRAM-MD5", "250 OK"}, "CODE="},
    {"AUTO as CRAM-MD5",
     MethodAuto,
     {"250-up", "250-AUTH LOGIN PLAIN CRAM-MD5", "250 OK"},
     "CODE="},
    {"AUTO as PLAIN", MethodAuto, {"250-up", "250-AUTH LOGIN PLAIN", "250 OK"}, "Send AUTH PLAIN"},
    {"AUTO as LOGIN", MethodAuto, {"250-up", "250-AUTH LOGIN", "250 OK"}, "Send Password"},
    {"AUTO, AUTH on the last line", MethodAuto, {"250-up", "250 AUTH PLAIN"}, "Send AUTH PLAIN"},
    {"NONE", MethodNone, {"250-up", "250 OK"}, "Work Started of After SMTP AUTH"},
};

TEST(Secrets, NoPasswordInAnyTraceModeForAnyLoginMethod) {
    const int port = startEngineOnFreePort();
    ASSERT_GT(port, 0);
    FaultUpstream upstream(kUser, kPassword);
    int mails = 0;
    for (auto mode : {TraceCapture::File, TraceCapture::Udp, TraceCapture::StandardError}) {
        for (const Row& row : kRows) {
            SCOPED_TRACE(std::string(row.name) + " trace mode " + std::to_string(mode));
            setEntries({entryFor("secret.test", upstream.port(), row.method, kUser, kPassword)});
            UpstreamPlan plan;
            plan.ehloLines = row.ehloLines;
            upstream.setPlan(plan);

            TraceCapture capture(mode);
            const int client = connectLoopback(port);
            ASSERT_GE(client, 0);
            std::string line;
            ASSERT_TRUE(readLine(client, &line));
            ASSERT_TRUE(sendText(client, "HELO me\r\n"));
            ASSERT_TRUE(readLine(client, &line));
            ASSERT_TRUE(sendText(client, "MAIL FROM:<a@secret.test>\r\n"));
            ASSERT_TRUE(readLine(client, &line));
            ASSERT_EQ(line, "250 2.1.0 sender ok\r\n");
            ASSERT_TRUE(sendText(client, "RCPT TO:<b@c.test>\r\nDATA\r\nSubject: s\r\n\r\nx\r\n"
                                         ".\r\nQUIT\r\n"));
            ASSERT_TRUE(peerClosed(client));
            ::close(client);
            auto connection = upstream.nextConnection(2s);
            ASSERT_NE(connection, nullptr);
            ASSERT_TRUE(upstream.waitIdle(3s));
            ASSERT_TRUE(waitUntil([] { return activeSubTasks() == 0; }));
            {
                std::lock_guard lock(connection->mutex);
                ASSERT_EQ(connection->messages.size(), 1u);
                if (row.method != MethodNone) {
                    EXPECT_EQ(connection->loggedInAs, kUser) << "the login did not happen";
                }
            }
            ++mails;

            // A mail client that tries to log in to the proxy itself: its credentials must not
            // reach the trace either.
            const int second = connectLoopback(port);
            ASSERT_GE(second, 0);
            ASSERT_TRUE(readLine(second, &line));
            const std::string user = kUser;
            ASSERT_TRUE(sendText(second, "EHLO me\r\nAUTH PLAIN " +
                                             toBase64(user + '\0' + user + '\0' + kPassword) +
                                             "\r\n"));
            ASSERT_TRUE(peerClosed(second));
            ::close(second);
            ASSERT_TRUE(waitUntil([] { return activeSubTasks() == 0; }));

            const std::string trace = capture.finish();
            EXPECT_NE(trace.find(row.proofOfLogin), std::string::npos)
                << "the trace misses its login lines:\n"
                << trace;
            for (const std::string& secret : Secrets()) {
                EXPECT_EQ(trace.find(secret), std::string::npos)
                    << "secret '" << secret << "' in the trace:\n"
                    << trace;
            }
        }
    }
    std::printf("secrets: %d mails, %zu methods x 3 trace modes, no secret traced\n", mails,
                kRows.size());
}

// The entry dialog's connection test shows the server's replies, never a credential.
TEST(Secrets, ConnectionTestShowsTheRepliesButNoCredential) {
    FaultUpstream upstream(kUser, kPassword);
    const std::atomic<bool> cancel{false};
    for (const Row& row : kRows) {
        for (const bool refused : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (refused ? " refused" : ""));
            UpstreamPlan plan;
            plan.ehloLines = row.ehloLines;
            plan.step = refused && row.method != MethodNone ? UpStep::AuthResult : UpStep::None;
            plan.fault = Fault::Permanent;
            upstream.setPlan(plan);
            std::string shown;
            const ConnectionTestResult result =
                testUpstream(entryFor("secret.test", upstream.port(), row.method, kUser, kPassword),
                             cancel, [&](bool sent, const std::string& line) {
                                 shown += (sent ? "> " : "< ") + line + "\n";
                             });
            const bool fails = plan.step != UpStep::None;
            EXPECT_EQ(result.ok, !fails) << result.summary << "\n" << shown;
            EXPECT_NE(shown.find(fails ? "< 554" : "> QUIT"), std::string::npos) << shown;
            if (fails) {
                EXPECT_NE(result.summary.find("554"), std::string::npos) << result.summary;
            }
            for (const std::string& secret : Secrets()) {
                EXPECT_EQ(shown.find(secret), std::string::npos) << shown;
            }
            EXPECT_EQ(shown.find(toBase64(kUser)), std::string::npos) << shown;
        }
    }
    EXPECT_TRUE(upstream.waitIdle(3s));
}

} // namespace
