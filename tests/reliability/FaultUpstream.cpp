#include "FaultUpstream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <iterator>

#include "AuthText.h"
#include "LoopbackSocket.h"
#include "ProcessState.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// No exchange of these tests takes this long; a connection that does is cut.
constexpr auto kConnectionLimit = std::chrono::seconds(300);

std::string Upper(const std::string& text) {
    std::string upper = text;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Reads the proxy's lines within the connection's time limit and keeps the record.
class Reader : public LineReader {
  public:
    Reader(UpstreamConnection& connection, bool keep)
        : LineReader(connection.socket, Clock::now() + kConnectionLimit), connection_(connection),
          keep_(keep) {}

  protected:
    void onReceived(std::string_view bytes) override {
        if (keep_) {
            std::lock_guard lock(connection_.mutex);
            connection_.received.append(bytes);
        }
    }
    void onClosed() override {
        std::lock_guard lock(connection_.mutex);
        // A socket we shut down ourselves reads as closed too; that close is not the proxy's.
        connection_.peerClosed = !connection_.hungUpByUs;
    }

  private:
    UpstreamConnection& connection_;
    const bool keep_;
};

} // namespace

const char* stepName(UpStep step) {
    static constexpr const char* kNames[] = {
        "none",     "greeting",   "ehlo-reply", "helo-reply", "auth-334-first", "auth-334-second",
        "auth-235", "mail-reply", "rcpt-reply", "data-354",   "message-250",    "quit-221"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(UpStep::QuitReply) + 1);
    return kNames[static_cast<std::size_t>(step)];
}

const char* faultName(Fault fault) {
    static constexpr const char* kNames[] = {"none", "close", "stall",        "4xx",
                                             "5xx",  "junk",  "single-bytes", "3000-byte-line"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(Fault::LongLine) + 1);
    return kNames[static_cast<std::size_t>(fault)];
}

std::string faultBytes(Fault fault, const std::string& correct) {
    switch (fault) {
    case Fault::Temporary:
        return "451 4.3.0 upstream busy\r\n";
    case Fault::Permanent:
        return "554 5.3.0 upstream refuses\r\n";
    case Fault::Junk:
        return std::string("\x01\x7f junk \xff\xfe no code here\r\n");
    case Fault::LongLine:
        return correct.substr(0, 3) + " " + std::string(2994, 'x') + "\r\n";
    default:
        return correct;
    }
}

void UpstreamConnection::hangUp() {
    std::lock_guard lock(mutex);
    hungUpByUs = true;
    if (socket >= 0) {
        ::shutdown(socket, SHUT_RDWR);
    }
}

FaultUpstream::FaultUpstream(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {
    listener_ = listenLoopback(&port_);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

FaultUpstream::~FaultUpstream() {
    stopping_ = true;
    acceptThread_.join();
    {
        std::lock_guard lock(mutex_);
        for (auto& connection : connections_) {
            connection->hangUp();
        }
    }
    for (auto& thread : threads_) {
        thread.join();
    }
    ::close(listener_);
}

void FaultUpstream::setPlan(const UpstreamPlan& plan) {
    std::lock_guard lock(mutex_);
    plan_ = plan;
}

std::shared_ptr<UpstreamConnection>
FaultUpstream::nextConnection(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return connections_.size() > handedOut_; })) {
        return nullptr;
    }
    return connections_[handedOut_++];
}

bool FaultUpstream::waitIdle(std::chrono::milliseconds timeout) {
    const bool idle = waitUntil(
        [&] {
            std::lock_guard lock(mutex_);
            for (auto& connection : connections_) {
                if (!connection->finished) {
                    return false;
                }
            }
            return true;
        },
        timeout);
    std::vector<std::thread> finished;
    {
        std::lock_guard lock(mutex_);
        if (idle) {
            finished.swap(threads_);
        }
    }
    for (auto& thread : finished) {
        thread.join();
    }
    return idle;
}

void FaultUpstream::acceptLoop() {
    while (!stopping_) {
        const int socket = acceptWithin(listener_, std::chrono::milliseconds(50));
        if (socket < 0) {
            continue;
        }
        auto connection = std::make_shared<UpstreamConnection>();
        connection->socket = socket;
        std::lock_guard lock(mutex_);
        connections_.push_back(connection);
        ++accepted_;
        threads_.emplace_back([this, connection, plan = plan_] { serve(connection, plan); });
        changed_.notify_all();
    }
}

void FaultUpstream::serve(std::shared_ptr<UpstreamConnection> connection, UpstreamPlan plan) {
    UpstreamConnection& c = *connection;
    Reader reader(c, plan.keepReceived);
    // Gives false when the dialogue ends here.
    auto reply = [&](UpStep step, const std::string& correct) {
        if (plan.step != step || plan.fault == Fault::None) {
            return sendText(c.socket, correct);
        }
        switch (plan.fault) {
        case Fault::Close:
            return false;
        case Fault::Stall:
            reader.drainUntilClosed();
            return false;
        case Fault::SingleBytes:
            for (char byte : correct) {
                if (!sendText(c.socket, std::string(1, byte))) {
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            return true;
        default:
            return sendText(c.socket, faultBytes(plan.fault, correct));
        }
    };
    auto loggedIn = [&](bool ok) {
        if (ok) {
            std::lock_guard lock(c.mutex);
            c.loggedInAs = user_;
        }
        return reply(UpStep::AuthResult, ok ? "235 2.7.0 accepted\r\n" : "535 5.7.8 refused\r\n");
    };

    std::this_thread::sleep_for(plan.greetingDelay);
    bool going = reply(UpStep::Greeting, "220 upstream.test ESMTP\r\n");
    std::string line;
    while (going && reader.line(&line)) {
        const std::string upper = Upper(line);
        if (StartsWith(upper, "EHLO")) {
            std::string text;
            for (const auto& ehloLine : plan.ehloLines) {
                text += ehloLine + "\r\n";
            }
            going = reply(UpStep::EhloReply, text);
        } else if (StartsWith(upper, "HELO")) {
            going = reply(UpStep::HeloReply, "250 upstream.test\r\n");
        } else if (upper == "AUTH LOGIN") {
            std::string user, password;
            going = reply(UpStep::AuthFirst, "334 VXNlcm5hbWU6\r\n") && reader.line(&user) &&
                    reply(UpStep::AuthSecond, "334 UGFzc3dvcmQ6\r\n") && reader.line(&password) &&
                    loggedIn(fromBase64(user) == user_ && fromBase64(password) == password_);
        } else if (StartsWith(upper, "AUTH PLAIN ")) {
            going = loggedIn(fromBase64(line.substr(11)) == user_ + std::string(1, '\0') + user_ +
                                                                std::string(1, '\0') + password_);
        } else if (upper == "AUTH CRAM-MD5") {
            std::string response;
            going = reply(UpStep::AuthFirst, "334 " + toBase64(kChallenge) + "\r\n") &&
                    reader.line(&response);
            going = going &&
                    loggedIn(fromBase64(response) == cramMd5Answer(user_, password_, kChallenge));
        } else if (StartsWith(upper, "MAIL FROM:")) {
            going = reply(UpStep::MailReply, "250 2.1.0 sender ok\r\n");
        } else if (StartsWith(upper, "RCPT TO:")) {
            going = reply(UpStep::RcptReply, "250 2.1.5 recipient ok\r\n");
        } else if (upper == "DATA") {
            going = reply(UpStep::DataReply, "354 end with <CRLF>.<CRLF>\r\n");
            std::string message;
            bool ended = false;
            // Kept exactly as it came, dot-stuffing and line ends included.
            while (going && reader.rawLine(&line)) {
                if (line == ".\r\n") {
                    ended = true;
                    break;
                }
                message += line;
            }
            if (!ended) {
                break;
            }
            {
                std::lock_guard lock(c.mutex);
                c.messages.push_back(std::move(message));
            }
            going = reply(UpStep::MessageReply, "250 2.0.0 queued\r\n");
        } else if (upper == "QUIT") {
            reply(UpStep::QuitReply, "221 2.0.0 bye\r\n");
            going = false;
        } else if (upper == "RSET" || upper == "NOOP") {
            going = sendText(c.socket, "250 2.0.0 ok\r\n");
        } else {
            going = sendText(c.socket, "500 5.5.2 unrecognised command\r\n");
        }
    }
    {
        std::lock_guard lock(c.mutex);
        ::close(c.socket);
        c.socket = -1;
    }
    c.finished = true;
}
