// Fault injection: for every login method and both hand-overs, an upstream server that misbehaves
// at each of its replies, and a mail client that misbehaves at each of its lines. Every case must
// end only its own session, give the client the proxy's reply (or a closed connection), close
// both sockets and leave no descriptor or thread behind, while a second session keeps relaying
// mail all along.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <ostream>
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

constexpr const char* kUser = "alice@dom.test";
constexpr const char* kPassword = "Fault-Pw!23";
constexpr auto kStallWait = 150ms;

const std::string kServiceNotAvailable = "550 Service not available\r\n";
const std::string kServiceTemporarily = "421 Service not available\r\n";
const std::string kCannotConnect = "421 Can not be connected to SMTP server\r\n";
const std::string kBody = "Subject: fault case\r\n\r\nfirst line\r\n..dot-stuffed\r\nlast\r\n";

enum class Handover { MailFrom, Ehlo };

struct Variant {
    const char* name;
    std::int32_t method;
    Handover handover;
    std::vector<std::string> ehloLines; // how the upstream answers EHLO
    std::vector<UpStep> loginSteps;     // the replies the proxy itself reads before relaying
};

// Test names and failure messages show the variant's name, not its bytes.
void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.name;
}

const std::vector<std::string> kAllAuth = {"250-upstream.test", "250-AUTH LOGIN PLAIN CRAM-MD5",
                                           "250 8BITMIME"};

// One line of the client's dialogue: what it sends, who answers and the answer it expects.
struct Exchange {
    std::string send;
    UpStep answeredBy; // None: the proxy answers itself
    std::string reply;
};

std::string CorrectReply(UpStep step, const Variant& variant) {
    switch (step) {
    case UpStep::Greeting:
        return "220 upstream.test ESMTP\r\n";
    case UpStep::EhloReply: {
        std::string text;
        for (const auto& line : variant.ehloLines) {
            text += line + "\r\n";
        }
        return text;
    }
    case UpStep::HeloReply:
        return "250 upstream.test\r\n";
    case UpStep::AuthFirst:
        return variant.method == MethodLogin ? "334 VXNlcm5hbWU6\r\n" : "334 challenge\r\n";
    case UpStep::AuthSecond:
        return "334 UGFzc3dvcmQ6\r\n";
    case UpStep::AuthResult:
        return "235 2.7.0 accepted\r\n";
    case UpStep::MailReply:
        return "250 2.1.0 sender ok\r\n";
    case UpStep::RcptReply:
        return "250 2.1.5 recipient ok\r\n";
    case UpStep::DataReply:
        return "354 end with <CRLF>.<CRLF>\r\n";
    case UpStep::MessageReply:
        return "250 2.0.0 queued\r\n";
    case UpStep::QuitReply:
        return "221 2.0.0 bye\r\n";
    case UpStep::None:
        break;
    }
    return "";
}

std::vector<Exchange> Dialogue(const Variant& v) {
    std::vector<Exchange> d;
    d.push_back({"", UpStep::None, "220 SMTP Proxy\r\n"});
    if (v.handover == Handover::MailFrom) {
        d.push_back({"HELO client.test\r\n", UpStep::None, "250 OK\r\n"});
        d.push_back({"MAIL FROM:<alice@dom.test>\r\n", UpStep::MailReply, ""});
    } else if (v.method == MethodNone) {
        d.push_back({"EHLO client.dom.test\r\n", UpStep::EhloReply, ""});
        d.push_back({"MAIL FROM:<alice@dom.test>\r\n", UpStep::MailReply, ""});
    } else {
        d.push_back({"EHLO client.dom.test\r\n", UpStep::None, "250 127.0.0.1\r\n"});
        d.push_back({"MAIL FROM:<alice@dom.test>\r\n", UpStep::MailReply, ""});
    }
    d.push_back({"RCPT TO:<bob@far.test>\r\n", UpStep::RcptReply, ""});
    d.push_back({"DATA\r\n", UpStep::DataReply, ""});
    d.push_back({kBody + ".\r\n", UpStep::MessageReply, ""});
    d.push_back({"QUIT\r\n", UpStep::QuitReply, ""});
    for (auto& exchange : d) {
        if (exchange.answeredBy != UpStep::None) {
            exchange.reply = CorrectReply(exchange.answeredBy, v);
        }
    }
    return d;
}

// The exchange whose line makes the proxy connect upstream.
std::size_t HandoverIndex(const Variant& v) {
    return v.handover == Handover::MailFrom ? 2 : 1;
}

enum class ClientFault { Close, Stall, WrongCommand, Junk, SingleBytes, LongLine };

const char* clientFaultName(ClientFault fault) {
    static constexpr const char* kNames[] = {"close", "stall",        "wrong-command",
                                             "junk",  "single-bytes", "3000-byte-line"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(ClientFault::LongLine) + 1);
    return kNames[static_cast<std::size_t>(fault)];
}

// The engine serves the whole test program; every test sets its own entries.
int EnginePort() {
    static const int port = startEngineOnFreePort();
    return port;
}

int faultsInjected = 0;

class FaultInjection : public ::testing::TestWithParam<Variant> {
  protected:
    void SetUp() override {
        ASSERT_GT(EnginePort(), 0);
        upstream_ = std::make_unique<FaultUpstream>(kUser, kPassword);
        canaryUpstream_ = std::make_unique<FaultUpstream>("canary", "canary-pw");
        setEntries(
            {entryFor("dom.test", upstream_->port(), GetParam().method, kUser, kPassword),
             entryFor("canary.test", canaryUpstream_->port(), MethodLogin, "canary", "canary-pw")});

        // A session that stays in the relay for the whole test and sends a mail after each case.
        canary_ = connectLoopback(EnginePort());
        ASSERT_GE(canary_, 0);
        std::string line;
        ASSERT_TRUE(readLine(canary_, &line));
        ASSERT_TRUE(sendText(canary_, "HELO canary\r\nMAIL FROM:<c@canary.test>\r\n"));
        ASSERT_TRUE(readLine(canary_, &line));
        ASSERT_EQ(line, "250 OK\r\n");
        ASSERT_TRUE(readLine(canary_, &line));
        ASSERT_EQ(line, "250 2.1.0 sender ok\r\n");
        canaryConnection_ = canaryUpstream_->nextConnection(2s);
        ASSERT_NE(canaryConnection_, nullptr);

        // Let the threads of the set-up settle before the counts that every case must return to.
        std::this_thread::sleep_for(50ms);
        baseDescriptors_ = countOpenDescriptors();
        baseThreads_ = countThreads();
    }

    void TearDown() override {
        if (canary_ >= 0) {
            sendText(canary_, "QUIT\r\n");
            peerClosed(canary_);
            ::close(canary_);
        }
        canaryUpstream_.reset();
        upstream_.reset();
        waitUntil([] { return activeSubTasks() == 0; });
        std::printf("[ %s ] faults injected so far: %d\n", GetParam().name, faultsInjected);
    }

    // After a case: the session is gone with both sockets, nothing is left over, and the other
    // session still relays a whole mail.
    void ExpectCleanAndCanaryFlowing(const std::string& label) {
        ++faultsInjected;
        EXPECT_TRUE(upstream_->waitIdle(3s)) << label << ": upstream connection still open";
        EXPECT_TRUE(waitUntil([] { return activeSubTasks() == 1; }, 3s))
            << label << ": session did not end (" << activeSubTasks() << " active)";
        EXPECT_TRUE(waitUntil([&] { return countOpenDescriptors() == baseDescriptors_; }, 2s))
            << label << ": descriptors " << countOpenDescriptors() << " instead of "
            << baseDescriptors_;
        EXPECT_TRUE(waitUntil([&] { return countThreads() == baseThreads_; }, 2s))
            << label << ": threads " << countThreads() << " instead of " << baseThreads_;

        ++canaryMails_;
        const std::string body =
            "Subject: canary " + std::to_string(canaryMails_) + "\r\n\r\nok\r\n";
        ASSERT_TRUE(sendText(canary_, "RCPT TO:<x@y.test>\r\nDATA\r\n" + body + ".\r\nRSET\r\n"));
        const std::string expected = "250 2.1.5 recipient ok\r\n354 end with <CRLF>.<CRLF>\r\n"
                                     "250 2.0.0 queued\r\n250 2.0.0 ok\r\n";
        ASSERT_EQ(readBytes(canary_, expected.size()), expected) << label << ": canary stuck";
        std::lock_guard lock(canaryConnection_->mutex);
        ASSERT_EQ(canaryConnection_->messages.size(), static_cast<std::size_t>(canaryMails_));
        EXPECT_EQ(canaryConnection_->messages.back(), body);
    }

    // Runs exchanges [from, to) and expects their replies; gives false on the first mismatch.
    bool Converse(int client, const std::vector<Exchange>& dialogue, std::size_t from,
                  std::size_t to, const std::string& label) {
        for (std::size_t i = from; i < to; ++i) {
            if (!dialogue[i].send.empty()) {
                EXPECT_TRUE(sendText(client, dialogue[i].send)) << label;
            }
            const std::string got = readBytes(client, dialogue[i].reply.size());
            EXPECT_EQ(got, dialogue[i].reply) << label << ": exchange " << i;
            if (got != dialogue[i].reply) {
                return false;
            }
        }
        return true;
    }

    // The rest of the dialogue from exchange `from` on, then the delivered message is checked.
    void FinishNormally(int client, const std::vector<Exchange>& dialogue, std::size_t from,
                        const std::string& label,
                        std::shared_ptr<UpstreamConnection> connection = nullptr) {
        if (!Converse(client, dialogue, from, dialogue.size(), label)) {
            return;
        }
        EXPECT_TRUE(peerClosed(client)) << label << ": not closed after QUIT";
        if (!connection) {
            connection = upstream_->nextConnection(1s);
        }
        ASSERT_NE(connection, nullptr) << label;
        upstream_->waitIdle(3s);
        std::lock_guard lock(connection->mutex);
        ASSERT_EQ(connection->messages.size(), 1u) << label;
        EXPECT_EQ(connection->messages[0], kBody) << label;
        if (GetParam().method != MethodNone) {
            EXPECT_EQ(connection->loggedInAs, kUser) << label;
        }
    }

    void RunUpstreamFault(UpStep step, Fault fault) {
        const Variant& v = GetParam();
        const std::string label =
            std::string(v.name) + " upstream " + stepName(step) + " " + faultName(fault);
        SCOPED_TRACE(label);
        UpstreamPlan plan;
        plan.step = step;
        plan.fault = fault;
        plan.ehloLines = v.ehloLines;
        upstream_->setPlan(plan);
        const auto dialogue = Dialogue(v);
        bool readByProxy = false;
        for (UpStep s : v.loginSteps) {
            readByProxy = readByProxy || s == step;
        }
        std::size_t at = HandoverIndex(v);
        if (!readByProxy) {
            while (dialogue[at].answeredBy != step) {
                ++at;
            }
        }

        const int client = connectLoopback(EnginePort());
        ASSERT_GE(client, 0);
        if (Converse(client, dialogue, 0, at, label)) {
            ASSERT_TRUE(sendText(client, dialogue[at].send));
            if (fault == Fault::SingleBytes) {
                const std::string got = readBytes(client, dialogue[at].reply.size());
                EXPECT_EQ(got, dialogue[at].reply);
                FinishNormally(client, dialogue, at + 1, label);
            } else if (fault == Fault::Stall) {
                EXPECT_TRUE(staysQuiet(client, kStallWait)) << "proxy answered a stalled step";
                ::shutdown(client, SHUT_RDWR); // the mail client gives up
                auto connection = upstream_->nextConnection(1s);
                ASSERT_NE(connection, nullptr);
                EXPECT_TRUE(waitUntil([&] { return connection->finished.load(); }, 3s));
                std::lock_guard lock(connection->mutex);
                EXPECT_TRUE(connection->peerClosed) << "upstream socket not closed by the proxy";
            } else {
                std::string expected;
                if (!readByProxy) {
                    expected = fault == Fault::Close ? "" : faultBytes(fault, dialogue[at].reply);
                } else if (v.method != MethodNone) {
                    // A server gone or refusing with 4xx is worth a retry; junk and 5xx are not.
                    expected = fault == Fault::Close || fault == Fault::Temporary
                                   ? kServiceTemporarily
                                   : kServiceNotAvailable;
                } else if (fault == Fault::Close || fault == Fault::LongLine) {
                    expected = kCannotConnect;
                } else {
                    expected = faultBytes(fault, CorrectReply(step, v));
                }
                if (readByProxy || fault == Fault::Close) {
                    bool closed = false;
                    const std::string got = readUntilClosed(client, &closed);
                    EXPECT_TRUE(closed) << "client not disconnected";
                    EXPECT_EQ(got, expected);
                } else {
                    // A relayed reply reaches the client unchanged; the client then hangs up.
                    EXPECT_EQ(readBytes(client, expected.size()), expected);
                    ::shutdown(client, SHUT_RDWR);
                }
                auto connection = upstream_->nextConnection(1s);
                ASSERT_NE(connection, nullptr);
                EXPECT_TRUE(waitUntil([&] { return connection->finished.load(); }, 3s));
                if (fault != Fault::Close && step != UpStep::QuitReply) {
                    std::lock_guard lock(connection->mutex);
                    EXPECT_TRUE(connection->peerClosed) << "upstream socket not closed";
                }
            }
        }
        ::close(client);
        ExpectCleanAndCanaryFlowing(label);
    }

    void RunClientFault(std::size_t at, ClientFault fault) {
        const Variant& v = GetParam();
        const auto dialogue = Dialogue(v);
        const std::string label = std::string(v.name) + " client exchange " + std::to_string(at) +
                                  " " + clientFaultName(fault);
        SCOPED_TRACE(label);
        upstream_->setPlan(UpstreamPlan{UpStep::None, Fault::None, v.ehloLines});
        const bool connectedUpstream = at > HandoverIndex(v);
        const int acceptedBefore = upstream_->accepted();

        const int client = connectLoopback(EnginePort());
        ASSERT_GE(client, 0);
        if (!Converse(client, dialogue, 0, at, label)) {
            ::close(client);
            ExpectCleanAndCanaryFlowing(label);
            return;
        }
        std::shared_ptr<UpstreamConnection> connection;
        if (connectedUpstream) {
            connection = upstream_->nextConnection(1s);
            ASSERT_NE(connection, nullptr);
        }
        const std::string& line = dialogue[at].send;
        std::string sent;
        switch (fault) {
        case ClientFault::Close:
            ::close(client);
            if (connection) {
                EXPECT_TRUE(waitUntil([&] { return connection->finished.load(); }, 3s));
                std::lock_guard lock(connection->mutex);
                EXPECT_TRUE(connection->peerClosed) << "upstream socket not closed";
            }
            break;
        case ClientFault::Stall:
            EXPECT_TRUE(staysQuiet(client, kStallWait));
            EXPECT_EQ(activeSubTasks(), 2) << "a quiet client must not end its session";
            if (connection) {
                connection->hangUp(); // the server gives up; the proxy must close the client
                EXPECT_TRUE(peerClosed(client)) << "client socket not closed";
            }
            ::close(client);
            break;
        case ClientFault::SingleBytes:
            for (char byte : line) {
                ASSERT_TRUE(sendText(client, std::string(1, byte)));
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            EXPECT_EQ(readBytes(client, dialogue[at].reply.size()), dialogue[at].reply);
            FinishNormally(client, dialogue, at + 1, label, connection);
            ::close(client);
            break;
        case ClientFault::WrongCommand:
        case ClientFault::Junk:
        case ClientFault::LongLine:
            sent = fault == ClientFault::WrongCommand ? "NOOP\r\n"
                   : fault == ClientFault::Junk
                       ? std::string("\x01\x02 junk \xff\xfe\r\n")
                       : line.substr(0, 4) + std::string(2994, 'z') + "\r\n";
            ASSERT_TRUE(sendText(client, sent));
            if (connection) {
                // After the hand-over every byte goes to the server as it is.
                EXPECT_TRUE(waitUntil(
                    [&] {
                        std::lock_guard lock(connection->mutex);
                        return connection->received.find(sent) != std::string::npos;
                    },
                    3s))
                    << "bytes after the hand-over did not reach the server unchanged";
                ::shutdown(client, SHUT_RDWR);
                EXPECT_TRUE(waitUntil([&] { return connection->finished.load(); }, 3s));
                std::lock_guard lock(connection->mutex);
                EXPECT_TRUE(connection->peerClosed) << "upstream socket not closed";
            } else {
                bool closed = false;
                const std::string got = readUntilClosed(client, &closed);
                EXPECT_TRUE(closed) << "client not disconnected";
                // A line too long for the proxy's buffer ends the session without a reply.
                EXPECT_EQ(got, fault == ClientFault::LongLine ? "" : kServiceNotAvailable);
            }
            ::close(client);
            break;
        }
        if (!connectedUpstream && fault != ClientFault::SingleBytes) {
            EXPECT_EQ(upstream_->accepted(), acceptedBefore) << "connected upstream needlessly";
        }
        ExpectCleanAndCanaryFlowing(label);
    }

    std::unique_ptr<FaultUpstream> upstream_;
    std::unique_ptr<FaultUpstream> canaryUpstream_;
    std::shared_ptr<UpstreamConnection> canaryConnection_;
    int canary_ = -1;
    int canaryMails_ = 0;
    int baseDescriptors_ = 0;
    int baseThreads_ = 0;
};

constexpr Fault kFaults[] = {Fault::Close, Fault::Stall,       Fault::Temporary, Fault::Permanent,
                             Fault::Junk,  Fault::SingleBytes, Fault::LongLine};

TEST_P(FaultInjection, UpstreamFaultAtEveryStep) {
    const Variant& v = GetParam();
    std::vector<UpStep> steps = v.loginSteps;
    for (const auto& exchange : Dialogue(v)) {
        if (exchange.answeredBy != UpStep::None) {
            steps.push_back(exchange.answeredBy);
        }
    }
    for (UpStep step : steps) {
        for (Fault fault : kFaults) {
            RunUpstreamFault(step, fault);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST_P(FaultInjection, ClientFaultAtEveryLine) {
    const Variant& v = GetParam();
    const std::size_t lines = Dialogue(v).size();
    for (std::size_t at = 1; at < lines; ++at) {
        for (ClientFault fault :
             {ClientFault::Close, ClientFault::Stall, ClientFault::WrongCommand, ClientFault::Junk,
              ClientFault::SingleBytes, ClientFault::LongLine}) {
            RunClientFault(at, fault);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// The mail client hangs up while the proxy is still logging in upstream.
TEST_P(FaultInjection, ClientClosesDuringLogin) {
    const Variant& v = GetParam();
    const auto dialogue = Dialogue(v);
    UpstreamPlan plan;
    plan.ehloLines = v.ehloLines;
    plan.greetingDelay = 100ms;
    upstream_->setPlan(plan);
    const int client = connectLoopback(EnginePort());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(Converse(client, dialogue, 0, HandoverIndex(v), "login"));
    ASSERT_TRUE(sendText(client, dialogue[HandoverIndex(v)].send));
    auto connection = upstream_->nextConnection(1s);
    ASSERT_NE(connection, nullptr);
    ::close(client);
    EXPECT_TRUE(waitUntil([&] { return connection->finished.load(); }, 3s));
    {
        std::lock_guard lock(connection->mutex);
        EXPECT_TRUE(connection->peerClosed);
        EXPECT_TRUE(connection->messages.empty());
    }
    ExpectCleanAndCanaryFlowing(std::string(v.name) + " client closes during login");
}

const std::vector<UpStep> kLoginSteps = {UpStep::Greeting, UpStep::EhloReply, UpStep::AuthFirst,
                                         UpStep::AuthSecond, UpStep::AuthResult};
const std::vector<UpStep> kPlainSteps = {UpStep::Greeting, UpStep::EhloReply, UpStep::AuthResult};
const std::vector<UpStep> kCramSteps = {UpStep::Greeting, UpStep::EhloReply, UpStep::AuthFirst,
                                        UpStep::AuthResult};

INSTANTIATE_TEST_SUITE_P(
    Methods, FaultInjection,
    ::testing::Values(
        Variant{"none_mailfrom",
                MethodNone,
                Handover::MailFrom,
                kAllAuth,
                {UpStep::Greeting, UpStep::HeloReply}},
        Variant{"none_ehlo", MethodNone, Handover::Ehlo, kAllAuth, {UpStep::Greeting}},
        Variant{"login_mailfrom", MethodLogin, Handover::MailFrom, kAllAuth, kLoginSteps},
        Variant{"login_ehlo", MethodLogin, Handover::Ehlo, kAllAuth, kLoginSteps},
        Variant{"plain_mailfrom", MethodPlain, Handover::MailFrom, kAllAuth, kPlainSteps},
        Variant{"plain_ehlo", MethodPlain, Handover::Ehlo, kAllAuth, kPlainSteps},
        Variant{"cram_mailfrom", MethodCramMd5, Handover::MailFrom, kAllAuth, kCramSteps},
        Variant{"cram_ehlo", MethodCramMd5, Handover::Ehlo, kAllAuth, kCramSteps},
        Variant{"auto_cram_mailfrom", MethodAuto, Handover::MailFrom, kAllAuth, kCramSteps},
        Variant{"auto_plain_ehlo",
                MethodAuto,
                Handover::Ehlo,
                {"250-upstream.test", "250-AUTH LOGIN PLAIN", "250 OK"},
                kPlainSteps},
        Variant{"auto_login_mailfrom",
                MethodAuto,
                Handover::MailFrom,
                {"250-upstream.test", "250-auth login", "250 OK"},
                kLoginSteps},
        Variant{"auto_lastline_ehlo",
                MethodAuto,
                Handover::Ehlo,
                {"250-upstream.test", "250 AUTH PLAIN"},
                kPlainSteps}),
    [](const ::testing::TestParamInfo<Variant>& info) { return info.param.name; });

} // namespace
