// Upstream SMTP servers for the engine's tests: a scripted one that records every byte it
// receives, and a many-connection mail sink.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EngineSetup.h"
#include "LoopbackSocket.h"
#include "ProcessState.h"

namespace testnet {

using namespace testsupport;

// One step of an upstream script.
struct Step {
    enum class Kind { Send, Expect, Close, Pause };
    Kind kind;
    std::string bytes;
    std::chrono::milliseconds pause{0};
};
inline Step serverSends(std::string bytes) {
    return {Step::Kind::Send, std::move(bytes)};
}
inline Step serverExpects(std::string line) {
    return {Step::Kind::Expect, std::move(line)};
}
inline Step serverCloses() {
    return {Step::Kind::Close, {}};
}
// Reads nothing for a while, as a server that is busy elsewhere.
inline Step serverPauses(std::chrono::milliseconds pause) {
    return {Step::Kind::Pause, {}, pause};
}

// Accepts one connection and plays the script; after its last step (unless that closes) it
// keeps reading until the proxy closes. Everything received is recorded byte for byte.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<Step> script);
    // Stops waiting for a connection that has not come, then waits for the script's end.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // Waits for the script and the proxy's close; gives false when it did not end in time.
    bool finish(std::chrono::milliseconds timeout = kIoTimeout);
    std::string received() const;
    std::vector<std::string> mismatches() const;
    bool accepted() const { return accepted_; }
    bool sawClose() const { return sawClose_; }

  private:
    void run();

    std::vector<Step> script_;
    int listen_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::string received_;
    std::vector<std::string> mismatches_;
    std::atomic<bool> accepted_{false};
    std::atomic<bool> sawClose_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// An upstream server for many connections at once: greets, offers AUTH PLAIN, accepts any
// login, takes one mail per connection and records its data.
class MailSink {
  public:
    MailSink();
    ~MailSink();
    int port() const { return port_; }
    std::vector<std::string> messages() const;

  private:
    void acceptLoop();
    void serve(int socket);

    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

} // namespace testnet
