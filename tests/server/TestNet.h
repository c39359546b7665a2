// Loopback helpers for the engine's tests: sockets with time limits, a scripted upstream SMTP
// server that records every byte it receives, a many-connection mail sink, and session set-up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "config/Proxydata.h"

namespace testnet {

using namespace std::chrono_literals;
inline constexpr std::chrono::milliseconds kIoTimeout = 5s;

// Listening socket on 127.0.0.1 with a port the system chose; -1 on failure.
int listenLoopback(int* port);
// Connected socket to 127.0.0.1:port, or -1.
int connectLoopback(int port);
// A port that was free a moment ago (bound to 0, then closed).
int freePort();
bool sendText(int socket, std::string_view text);
// Bytes up to and including the next LF; less when the peer closed or the time ran out.
std::string readLine(int socket, std::chrono::milliseconds timeout = kIoTimeout);
// Up to `count` bytes, fewer when the peer closed or the time ran out.
std::string readBytes(int socket, std::size_t count,
                      std::chrono::milliseconds timeout = kIoTimeout);
// Everything until the peer closes (or the time runs out: then `closed` is false).
std::string readToClose(int socket, bool* closed, std::chrono::milliseconds timeout = kIoTimeout);
void closeSocketQuietly(int socket);

// Entries of /proc/self/fd.
int countOpenDescriptors();
// Waits until `count` sub tasks run; false when the time ran out.
bool waitForActiveSessions(int count, std::chrono::milliseconds timeout = kIoTimeout);
// Waits until no sub task runs.
inline bool waitForSessionsToEnd(std::chrono::milliseconds timeout = kIoTimeout) {
    return waitForActiveSessions(0, timeout);
}
// Connects a client to a new sub task (without the listener); gives the client's socket.
int startSession();

// An entry for the scripted server on 127.0.0.1.
ProxyData entryFor(const std::string& domain, int port, std::int32_t method,
                   const std::string& user = "user", const std::string& password = "secret");
// Replaces the global list with `entries`.
void setEntries(const std::vector<ProxyData>& entries);

// One step of an upstream script.
struct Step {
    enum class Kind { Send, Expect, Close };
    Kind kind;
    std::string bytes;
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
    bool readLine(int socket, std::string& line);

    std::vector<Step> script_;
    int listen_ = -1;
    int port_ = 0;
    std::string pending_;
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
