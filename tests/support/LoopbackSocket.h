// Loopback sockets for the tests and fuzz targets: listen, connect and accept on 127.0.0.1, and
// blocking reads and writes bounded by a time limit, so no test can hang on a peer that stays
// silent. Any thread may call these on its own sockets; failures show in the return values.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace testsupport {

using namespace std::chrono_literals;
inline constexpr std::chrono::milliseconds kIoTimeout = 5s;

// Listening socket on 127.0.0.1 with a port the system chose; -1 on failure.
int listenLoopback(int* port);
// Connected socket to 127.0.0.1:port without send delay, or -1.
int connectLoopback(int port);
// One connection accepted within `timeout` (without send delay), or -1.
int acceptWithin(int listener, std::chrono::milliseconds timeout = kIoTimeout);
// A port that was free a moment ago (bound to 0, then closed).
int freePort();
void closeSocketQuietly(int socket);

bool sendText(int socket, std::string_view text);

// Bytes up to and including the next LF into `line`. True when the LF came, or when the peer
// closed after some bytes; false on a time-out, an error or a close before any byte (`line` then
// holds what did arrive).
bool readLine(int socket, std::string* line, std::chrono::milliseconds timeout = kIoTimeout);
// The same, giving the bytes: less than a line when the peer closed or the time ran out.
std::string readLine(int socket, std::chrono::milliseconds timeout = kIoTimeout);
// Up to `count` bytes, fewer when the peer closed or the time ran out.
std::string readBytes(int socket, std::size_t count,
                      std::chrono::milliseconds timeout = kIoTimeout);
// Everything until the peer closes (end of file or reset). `closed` tells whether it did within
// `timeout`.
std::string readUntilClosed(int socket, bool* closed,
                            std::chrono::milliseconds timeout = kIoTimeout);
// True when the peer closes within `timeout`; bytes before the close are dropped.
bool peerClosed(int socket, std::chrono::milliseconds timeout = kIoTimeout);
// True when nothing arrives (and the peer does not close) for `quiet`.
bool staysQuiet(int socket, std::chrono::milliseconds quiet);

// Line reader for the server side of a test connection: reads in chunks, keeps what follows a
// line for the next one and lets its owner see every chunk as it comes (for a byte record).
class LineReader {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LineReader(int socket, Clock::time_point deadline = Clock::time_point::max())
        : socket_(socket), deadline_(deadline) {}
    virtual ~LineReader() = default;

    void setDeadline(Clock::time_point deadline) { deadline_ = deadline; }
    // One line with its LF; false when the peer closed, failed or the deadline passed.
    bool rawLine(std::string* out);
    // One line without its CR LF.
    bool line(std::string* out);
    // Bytes read but not yet given out as a line.
    std::string pending() const { return buffer_.substr(start_); }
    // Reads, and sees, whatever comes until the peer closes or the deadline passes.
    void drainUntilClosed();
    // The peer closed its end (end of file or reset).
    bool closed() const { return closed_; }

  protected:
    // Called with every chunk received, in order.
    virtual void onReceived(std::string_view) {}
    // Called once when the peer's close is read.
    virtual void onClosed() {}

  private:
    bool fill();

    int socket_;
    Clock::time_point deadline_;
    std::string buffer_;
    std::size_t start_ = 0;
    bool closed_ = false;
};

} // namespace testsupport
