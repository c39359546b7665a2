#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) {
        return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// What one bounded receive gave.
enum : ssize_t { kTimedOut = -1, kClosed = 0 };

// One recv of at most `count` bytes before the deadline: the byte count, kClosed at the end of
// the stream or a reset, kTimedOut on a time-out or another error.
ssize_t receiveBefore(int socket, char* into, std::size_t count, Clock::time_point deadline) {
    pollfd entry{socket, POLLIN, 0};
    for (;;) {
        const int ready = poll(&entry, 1, millisLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return kTimedOut;
        }
        const ssize_t got = recv(socket, into, count, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno == ECONNRESET ? kClosed : kTimedOut;
        }
        return got;
    }
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

void setNoDelay(int socket) {
    const int one = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

int listenLoopback(int* port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (socket < 0 || bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socket, SOMAXCONN) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closeSocketQuietly(socket);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return socket;
}

int connectLoopback(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (socket < 0 ||
        connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closeSocketQuietly(socket);
        return -1;
    }
    setNoDelay(socket);
    return socket;
}

int acceptWithin(int listener, std::chrono::milliseconds timeout) {
    pollfd entry{listener, POLLIN, 0};
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const int ready = poll(&entry, 1, millisLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return -1;
        }
        break;
    }
    const int socket = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket >= 0) {
        setNoDelay(socket);
    }
    return socket;
}

int freePort() {
    int port = 0;
    closeSocketQuietly(listenLoopback(&port));
    return port;
}

void closeSocketQuietly(int socket) {
    if (socket >= 0) {
        close(socket);
    }
}

bool sendText(int socket, std::string_view text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t count = send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

bool readLine(int socket, std::string* line, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    line->clear();
    char byte = 0;
    for (;;) {
        const ssize_t got = receiveBefore(socket, &byte, 1, deadline);
        if (got == kTimedOut) {
            return false;
        }
        if (got == kClosed) {
            return !line->empty();
        }
        line->push_back(byte);
        if (byte == '\n') {
            return true;
        }
    }
}

std::string readLine(int socket, std::chrono::milliseconds timeout) {
    std::string line;
    readLine(socket, &line, timeout);
    return line;
}

std::string readBytes(int socket, std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string bytes;
    char chunk[4096];
    while (bytes.size() < count) {
        const ssize_t got =
            receiveBefore(socket, chunk, std::min(sizeof chunk, count - bytes.size()), deadline);
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

std::string readUntilClosed(int socket, bool* closed, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t got = receiveBefore(socket, chunk, sizeof chunk, deadline);
        if (got <= 0) {
            *closed = got == kClosed;
            return bytes;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

bool peerClosed(int socket, std::chrono::milliseconds timeout) {
    bool closed = false;
    readUntilClosed(socket, &closed, timeout);
    return closed;
}

bool staysQuiet(int socket, std::chrono::milliseconds quiet) {
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(quiet.count())) == 0;
}

// LineReader ---------------------------------------------------------------------------------

bool LineReader::rawLine(std::string* out) {
    for (;;) {
        const std::size_t lf = buffer_.find('\n', start_);
        if (lf != std::string::npos) {
            out->assign(buffer_, start_, lf + 1 - start_);
            start_ = lf + 1;
            return true;
        }
        // Consumed bytes are dropped only now and then, so long messages stay linear.
        buffer_.erase(0, start_);
        start_ = 0;
        if (!fill()) {
            return false;
        }
    }
}

bool LineReader::line(std::string* out) {
    if (!rawLine(out)) {
        return false;
    }
    out->pop_back();
    if (!out->empty() && out->back() == '\r') {
        out->pop_back();
    }
    return true;
}

void LineReader::drainUntilClosed() {
    while (fill()) {
    }
}

bool LineReader::fill() {
    char chunk[16384];
    const ssize_t got = receiveBefore(socket_, chunk, sizeof chunk, deadline_);
    if (got == kClosed && !closed_) {
        closed_ = true;
        onClosed();
    }
    if (got <= 0) {
        return false;
    }
    const std::string_view bytes(chunk, static_cast<std::size_t>(got));
    buffer_.append(bytes);
    onReceived(bytes);
    return true;
}

} // namespace testsupport
