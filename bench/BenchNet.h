// Blocking socket helpers shared by the benchmark peers: loopback TCP, whole sends, line reads.
//
// Every peer is single-purpose and short-lived, so failures end the program with a message
// on standard error (die) rather than travelling back through results.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

struct ssl_st;

namespace bench {

[[noreturn]] void die(const std::string& what);

// Connected TCP socket with TCP_NODELAY, or -1 (errno kept).
int connectTo(const char* host, int port);
// Listening socket on host:port (port 0 picks one); the port actually bound in *boundPort.
int listenOn(const char* host, int port, int* boundPort);
void setNoDelay(int socket);
void setNonBlocking(int socket);
// Sends everything; false when the peer is gone.
bool sendAll(int socket, const void* bytes, std::size_t length);
bool sendText(int socket, const std::string& text);

// Reads CR LF ended lines through its own buffer (a peer of ours may read ahead freely).
class LineReader {
  public:
    explicit LineReader(int socket) : socket_(socket) {}
    // From now on reads go through TLS (after STARTTLS; nothing may be buffered then).
    void useTls(ssl_st* ssl) { ssl_ = ssl; }
    bool buffered() const { return start_ < end_; }
    // The next line without CR LF; false when the peer closed or failed.
    bool readLine(std::string& line);
    // Reads a whole SMTP reply (continuation lines included); gives its code, -1 on failure.
    // The last line is left in `lastLine`, all lines joined by LF in `all` when given.
    int readReply(std::string* lastLine = nullptr, std::string* all = nullptr);

  private:
    int socket_;
    ssl_st* ssl_ = nullptr;
    char buffer_[16384];
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace bench
