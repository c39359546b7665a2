// Secrets in the trace: every login method, with the diagnostic channel in each of its modes
// (log file, UDP datagrams to a loopback receiver, standard error), carries one mail; nothing the
// channel wrote may contain the password, its Base64 form or the AUTH PLAIN payload.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FaultUpstream.h"
#include "ReliabilitySupport.h"
#include "codec/Base64.h"
#include "config/Proxydata.h"
#include "diag/Proginit.h"
#include "server/Server.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kUser = "secret.user";
constexpr const char* kPassword = "Tr4ce-Me-N0t!";

std::string Encode(const std::string& bytes) {
    std::string out(Base64EncodedSize(bytes.size()), '\0');
    Base64EncodeBytes(bytes.data(), out.data(), static_cast<int>(bytes.size()), out.size());
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

std::vector<std::string> Secrets() {
    const std::string user = kUser;
    return {kPassword, Encode(kPassword), Encode(user + '\0' + user + '\0' + kPassword)};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The diagnostic channel in one mode, and everything it wrote while active.
class TraceCapture {
  public:
    enum Mode { File, Udp, StandardError };

    TraceCapture(Mode mode, const TempDir& dir) : mode_(mode), path_(dir.path() + "/trace") {
        DebugResetForTest();
        switch (mode) {
        case File:
            DebugSetup(DebugFile, path_.c_str());
            break;
        case Udp: {
            receiver_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            const int size = 4 << 20; // no datagram may be dropped before it is read
            ::setsockopt(receiver_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            ::bind(receiver_, reinterpret_cast<sockaddr*>(&address), sizeof address);
            ::getsockname(receiver_, reinterpret_cast<sockaddr*>(&address), &length);
            DebugSetup(DebugUdp, ntohs(address.sin_port), "127.0.0.1");
            break;
        }
        case StandardError:
            savedStderr_ = ::dup(2);
            {
                const int file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(file, 2);
                ::close(file);
            }
            DebugSetup(DebugDebugger);
            break;
        }
    }

    ~TraceCapture() {
        if (receiver_ >= 0) {
            ::close(receiver_);
        }
        if (savedStderr_ >= 0) {
            ::dup2(savedStderr_, 2);
            ::close(savedStderr_);
        }
    }

    // Ends the capture: the channel goes off and what it wrote is returned.
    std::string finish() {
        DebugResetForTest();
        if (mode_ != Udp) {
            return ReadFile(path_);
        }
        std::string all;
        char datagram[2048];
        ssize_t n;
        while ((n = ::recv(receiver_, datagram, sizeof datagram, MSG_DONTWAIT)) > 0) {
            all.append(datagram, static_cast<std::size_t>(n));
        }
        return all;
    }

  private:
    Mode mode_;
    std::string path_;
    int receiver_ = -1;
    int savedStderr_ = -1;
};

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
    const int port = StartEngineOnFreePort();
    ASSERT_GT(port, 0);
    FaultUpstream upstream(kUser, kPassword);
    int mails = 0;
    for (auto mode : {TraceCapture::File, TraceCapture::Udp, TraceCapture::StandardError}) {
        for (const Row& row : kRows) {
            SCOPED_TRACE(std::string(row.name) + " trace mode " + std::to_string(mode));
            ProxyList.Clear();
            ProxyData entry;
            entry.Domain = "secret.test";
            entry.SMTP = "127.0.0.1";
            entry.Method = row.method;
            entry.User = kUser;
            entry.Passwd = kPassword;
            entry.Port = upstream.port();
            ProxyList.Add(entry);
            UpstreamPlan plan;
            plan.ehloLines = row.ehloLines;
            upstream.setPlan(plan);

            TempDir dir;
            TraceCapture capture(mode, dir);
            const int client = ConnectLoopback(port);
            ASSERT_GE(client, 0);
            std::string line;
            ASSERT_TRUE(ReadLine(client, &line));
            ASSERT_TRUE(SendText(client, "HELO me\r\n"));
            ASSERT_TRUE(ReadLine(client, &line));
            ASSERT_TRUE(SendText(client, "MAIL FROM:<a@secret.test>\r\n"));
            ASSERT_TRUE(ReadLine(client, &line));
            ASSERT_EQ(line, "250 2.1.0 sender ok\r\n");
            ASSERT_TRUE(SendText(client, "RCPT TO:<b@c.test>\r\nDATA\r\nSubject: s\r\n\r\nx\r\n"
                                         ".\r\nQUIT\r\n"));
            ASSERT_TRUE(PeerClosed(client));
            ::close(client);
            auto connection = upstream.nextConnection(2s);
            ASSERT_NE(connection, nullptr);
            ASSERT_TRUE(upstream.waitIdle(3s));
            ASSERT_TRUE(WaitUntil([] { return activeSubTasks() == 0; }));
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
            const int second = ConnectLoopback(port);
            ASSERT_GE(second, 0);
            ASSERT_TRUE(ReadLine(second, &line));
            const std::string user = kUser;
            ASSERT_TRUE(SendText(second, "EHLO me\r\nAUTH PLAIN " +
                                             Encode(user + '\0' + user + '\0' + kPassword) +
                                             "\r\n"));
            ASSERT_TRUE(PeerClosed(second));
            ::close(second);
            ASSERT_TRUE(WaitUntil([] { return activeSubTasks() == 0; }));

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

} // namespace
