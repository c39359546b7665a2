// Name look-up, waiting, connecting and sending on the engine's sockets.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "Limits.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

std::uint32_t resolveAddress(const char* host) {
    if (host == nullptr) {
        return kNoAddress;
    }
    in_addr_t address = inet_addr(host);
    if (address != INADDR_NONE) {
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return kNoAddress;
    }
    std::uint32_t result = kNoAddress;
    for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
        if (item->ai_family == AF_INET && item->ai_addr != nullptr) {
            result = reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(found);
    return result;
}

int waitReadable(int socket, int millis) {
    if (socket < 0) {
        return -1;
    }
    pollfd entry{socket, POLLIN, 0};
    int count;
    do {
        count = poll(&entry, 1, millis);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return -1;
    }
    if (count == 0) {
        return 1;
    }
    // A failed or hung-up socket counts as readable: the read that follows reports it.
    return (entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0 ? 0 : -1;
}

void setKeepAlive(int socket) {
    int on = 1;
    int idle = limits::kKeepAliveIdleSeconds;
    int interval = limits::kKeepAliveIntervalSeconds;
    int probes = limits::kKeepAliveProbes;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

void setNoDelay(int socket) {
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool portInRange(std::int32_t port) {
    return port >= 1 && port <= 65535;
}

sockaddr_in ipv4Address(std::uint32_t address, std::int32_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    return result;
}

ssize_t receiveRetrying(int socket, void* into, std::size_t length, int flags) {
    ssize_t count;
    do {
        count = recv(socket, into, length, flags);
    } while (count < 0 && errno == EINTR);
    return count;
}

PipeSignalBlock::PipeSignalBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
}

PipeSignalBlock::~PipeSignalBlock() {
    const timespec none{0, 0};
    while (sigtimedwait(&pipe_, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

void closeSocket(int socket) {
    if (socket >= 0) {
        // No retry on EINTR: the descriptor is released either way on Linux.
        close(socket);
    }
}

namespace {

// Connects within the connect deadline; gives 0 or the error (ETIMEDOUT when time ran out).
// The socket is non-blocking while it waits and blocking again afterwards.
int connectWithin(int socket, const sockaddr_storage& target, int millis) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    int error = 0;
    const socklen_t length =
        target.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&target), length) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            error = 0;
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    error = ETIMEDOUT;
                    break;
                }
                pollfd entry{socket, POLLOUT, 0};
                const int count = poll(&entry, 1, static_cast<int>(left.count()));
                if (count < 0 && errno == EINTR) {
                    continue;
                }
                if (count < 0) {
                    error = errno;
                    break;
                }
                if (count == 0) {
                    continue;
                }
                socklen_t errorLength = sizeof error;
                if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0) {
                    error = errno;
                }
                break;
            }
        }
    }
    if (error == 0 && fcntl(socket, F_SETFL, flags) != 0) {
        error = errno;
    }
    return error;
}

} // namespace

namespace {

// Every address of `host` (literal or name, IPv4 or IPv6) in the order the resolver gives them.
std::vector<sockaddr_storage> upstreamAddresses(const char* host, std::int32_t port) {
    std::vector<sockaddr_storage> addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (host == nullptr || *host == '\0' ||
        getaddrinfo(host, service.c_str(), &hints, &found) != 0) {
        return addresses;
    }
    for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
        if ((item->ai_family == AF_INET || item->ai_family == AF_INET6) &&
            item->ai_addrlen <= sizeof(sockaddr_storage)) {
            sockaddr_storage address{};
            std::memcpy(&address, item->ai_addr, item->ai_addrlen);
            addresses.push_back(address);
        }
    }
    freeaddrinfo(found);
    return addresses;
}

std::string addressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                  sizeof text);
        return std::string("[") + text + "]";
    }
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    return text;
}

} // namespace

int connectServer(const char* host, std::int32_t port, std::string* failure) {
    const char* name = host != nullptr ? host : "";
    const std::vector<sockaddr_storage> addresses =
        portInRange(port) ? upstreamAddresses(host, port) : std::vector<sockaddr_storage>{};
    DebugLog("ConnectStart(%s, %s : %d)", name,
             addresses.empty() ? "255.255.255.255" : addressText(addresses.front()).c_str(), port);
    if (!portInRange(port)) {
        DebugLog("Bad port(%d)", port);
        DebugLog("ConnectError");
        if (failure != nullptr) {
            *failure = "port " + std::to_string(port) + " is out of range";
        }
        return -1;
    }
    if (addresses.empty()) {
        DebugLog("ConnectError");
        if (failure != nullptr) {
            *failure = std::string("cannot find the address of ") + name;
        }
        return -1;
    }
    // Each address in turn, all within one connect deadline.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(engineDeadlines().connectMillis);
    int error = 0;
    int attempt = 0;
    for (const sockaddr_storage& address : addresses) {
        if (attempt > 0) {
            DebugLog("ConnectNext(%s)", addressText(address).c_str());
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            break;
        }
        const int socket = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket < 0) {
            error = errno;
            continue;
        }
        error = connectWithin(socket, address, static_cast<int>(left.count()));
        if (error == 0) {
            setNoDelay(socket);
            setKeepAlive(socket); // for the relay; longer than any wait before it
            return socket;
        }
        closeSocket(socket);
        ++attempt;
        DebugLog("Retry(%d, %d)", attempt, error);
    }
    DebugLog("ConnectError");
    if (failure != nullptr) {
        *failure = std::string("cannot connect to ") + name + " port " + std::to_string(port) +
                   ": " + std::strerror(error);
    }
    return -1;
}

long sendAll(int socket, const char* bytes, std::size_t length) {
    return sendTwoParts(socket, bytes, length, nullptr, 0);
}

long sendTwoParts(int socket, const char* first, std::size_t firstLength, const char* second,
                  std::size_t secondLength) {
    iovec parts[2] = {{const_cast<char*>(first), firstLength},
                      {const_cast<char*>(second), secondLength}};
    iovec* pending = parts;
    std::size_t pendingCount = 2;
    std::size_t left = firstLength + secondLength;
    while (left > 0) {
        msghdr message{};
        message.msg_iov = pending;
        message.msg_iovlen = pendingCount;
        const ssize_t done = sendmsg(socket, &message, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return -1;
        }
        left -= static_cast<std::size_t>(done);
        // A partial send: step past what the socket took.
        for (std::size_t taken = static_cast<std::size_t>(done); left > 0 && taken > 0;) {
            const std::size_t step = std::min(taken, pending->iov_len);
            pending->iov_base = static_cast<char*>(pending->iov_base) + step;
            pending->iov_len -= step;
            taken -= step;
            if (pending->iov_len == 0) {
                ++pending;
                --pendingCount;
            }
        }
    }
    return static_cast<long>(firstLength + secondLength);
}
