#include "ReliabilitySupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "server/Server.h"

using Clock = std::chrono::steady_clock;

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "vellomir-rel-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

int CountEntries(const char* dir) {
    int count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

// Milliseconds left before `deadline`, at least 0.
int MillisLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitReadable(int socket, Clock::time_point deadline) {
    for (;;) {
        pollfd p{socket, POLLIN, 0};
        const int ready = ::poll(&p, 1, MillisLeft(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

} // namespace

// The directory iterator holds one descriptor of its own while it counts.
int CountOpenDescriptors() {
    return CountEntries("/proc/self/fd") - 1;
}

int CountThreads() {
    return CountEntries("/proc/self/task");
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int ListenLoopback(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int AcceptWithin(int listener, std::chrono::milliseconds timeout) {
    if (!WaitReadable(listener, Clock::now() + timeout)) {
        return -1;
    }
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

bool SendText(int socket, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadLine(int socket, std::string* line, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    line->clear();
    for (;;) {
        if (!WaitReadable(socket, deadline)) {
            return false;
        }
        char byte = 0;
        const ssize_t n = ::recv(socket, &byte, 1, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return !line->empty();
        }
        line->push_back(byte);
        if (byte == '\n') {
            return true;
        }
    }
}

std::string ReadBytes(int socket, std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string bytes;
    while (bytes.size() < count && WaitReadable(socket, deadline)) {
        char buffer[4096];
        const std::size_t want = std::min(sizeof buffer, count - bytes.size());
        const ssize_t n = ::recv(socket, buffer, want, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

bool StaysQuiet(int socket, std::chrono::milliseconds quiet) {
    pollfd p{socket, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
}

bool ReadUntilClosed(int socket, std::string* bytes, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (!WaitReadable(socket, deadline)) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true; // a reset counts as closed too
        }
        bytes->append(buffer, static_cast<std::size_t>(n));
    }
}

bool PeerClosed(int socket, std::chrono::milliseconds timeout) {
    std::string ignored;
    return ReadUntilClosed(socket, &ignored, timeout);
}

int StartEngineOnFreePort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int port = 0;
        const int probe = ListenLoopback(&port);
        if (probe < 0) {
            return -1;
        }
        ::close(probe);
        // Another test may take the port between the probe and the open: try another.
        if (serverOpen("127.0.0.1", port)) {
            serverStart();
            return port;
        }
    }
    return -1;
}
