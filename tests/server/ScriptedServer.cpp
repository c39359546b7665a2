#include "ScriptedServer.h"

#include <sys/socket.h>
#include <unistd.h>

namespace testnet {

namespace {

using Clock = std::chrono::steady_clock;

// Keeps a copy of every byte the proxy sends.
class RecordingReader : public LineReader {
  public:
    RecordingReader(int socket, std::mutex& mutex, std::string& record)
        : LineReader(socket), mutex_(mutex), record_(record) {}

  protected:
    void onReceived(std::string_view bytes) override {
        std::lock_guard lock(mutex_);
        record_.append(bytes);
    }

  private:
    std::mutex& mutex_;
    std::string& record_;
};

} // namespace

// ScriptedServer -------------------------------------------------------------------------------

ScriptedServer::ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
    listen_ = listenLoopback(&port_);
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    if (!accepted_) {
        shutdown(listen_, SHUT_RDWR); // wakes the waiting accept
    }
    finish();
    if (thread_.joinable()) {
        thread_.join();
    }
    closeSocketQuietly(listen_);
}

bool ScriptedServer::finish(std::chrono::milliseconds timeout) {
    return waitUntil([this] { return done_.load(); }, timeout);
}

std::string ScriptedServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedServer::mismatches() const {
    std::lock_guard lock(mutex_);
    return mismatches_;
}

void ScriptedServer::run() {
    const int socket = acceptWithin(listen_);
    if (socket < 0) {
        done_ = true;
        return;
    }
    accepted_ = true;
    RecordingReader reader(socket, mutex_, received_);
    bool closedByScript = false;
    for (const Step& step : script_) {
        if (step.kind == Step::Kind::Send) {
            sendText(socket, step.bytes);
        } else if (step.kind == Step::Kind::Close) {
            closedByScript = true;
            break;
        } else if (step.kind == Step::Kind::Pause) {
            std::this_thread::sleep_for(step.pause);
        } else {
            std::string line;
            reader.setDeadline(Clock::now() + kIoTimeout);
            const bool got = reader.rawLine(&line);
            if (!got) {
                sawClose_ = reader.closed();
                line = reader.pending();
            }
            if (!got || line != step.bytes) {
                std::lock_guard lock(mutex_);
                mismatches_.push_back("expected [" + step.bytes + "] got [" + line + "]");
                if (!got) {
                    break;
                }
            }
        }
    }
    if (!closedByScript && !sawClose_) {
        reader.setDeadline(Clock::now() + kIoTimeout);
        reader.drainUntilClosed();
        sawClose_ = reader.closed();
    }
    close(socket);
    done_ = true;
}

// MailSink -----------------------------------------------------------------------------------

MailSink::MailSink() {
    listen_ = listenLoopback(&port_);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

MailSink::~MailSink() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    closeSocketQuietly(listen_);
}

std::vector<std::string> MailSink::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

void MailSink::acceptLoop() {
    while (!stop_) {
        const int socket = acceptWithin(listen_, 50ms);
        if (socket >= 0) {
            workers_.emplace_back([this, socket] { serve(socket); });
        }
    }
}

void MailSink::serve(int socket) {
    const auto reply = [socket](const char* text) { sendText(socket, text); };
    reply("220-sink ready\r\n220 sink\r\n");
    std::string data;
    bool inData = false;
    for (;;) {
        const std::string line = readLine(socket, 10s);
        if (line.empty()) {
            break;
        }
        if (inData) {
            if (line == ".\r\n") {
                inData = false;
                {
                    std::lock_guard lock(mutex_);
                    messages_.push_back(data);
                }
                reply("250 queued\r\n");
            } else {
                data += line;
            }
        } else if (line.rfind("EHLO", 0) == 0) {
            reply("250-sink\r\n250-AUTH PLAIN\r\n250 8BITMIME\r\n");
        } else if (line.rfind("AUTH PLAIN", 0) == 0) {
            reply("235 ok\r\n");
        } else if (line.rfind("DATA", 0) == 0) {
            inData = true;
            reply("354 go\r\n");
        } else if (line.rfind("QUIT", 0) == 0) {
            reply("221 bye\r\n");
            break;
        } else {
            reply("250 ok\r\n");
        }
    }
    close(socket);
}

} // namespace testnet
