// Helpers of the reliability tests: temporary directories, counts of the process's descriptors
// and threads, and blocking loopback sockets with deadlines so no test can hang.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

int CountOpenDescriptors();
int CountThreads();
// Polls `done` every 10 ms until it holds or `timeout` passes; gives its last value.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Listening loopback socket on an ephemeral port; -1 on failure.
int ListenLoopback(int* port);
// Connected loopback socket, or -1.
int ConnectLoopback(int port);
// Accepts one connection within `timeout`, or -1.
int AcceptWithin(int listener, std::chrono::milliseconds timeout);
bool SendText(int socket, const std::string& bytes);
// Reads up to and including the next LF (or to the close). Gives false on a time-out, an error
// or a close before any byte.
bool ReadLine(int socket, std::string* line,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Reads exactly `count` bytes (fewer when the peer closes or the time runs out).
std::string ReadBytes(int socket, std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
// True when nothing arrives (and the peer does not close) for `quiet`.
bool StaysQuiet(int socket, std::chrono::milliseconds quiet);
// Reads until the peer closes. Gives false when the peer did not close within `timeout`.
bool ReadUntilClosed(int socket, std::string* bytes,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
// True when the peer has closed: reading gives end of file (after any pending bytes).
bool PeerClosed(int socket, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Opens the engine's listener on 127.0.0.1 and a free port and starts it; gives the port, or -1.
int StartEngineOnFreePort();
