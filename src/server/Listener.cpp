// The listening socket, the main task's accept loop and the engine's entry points.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "Limits.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

// The main task's record lives for the whole process. Its Socket is written by the controlling
// thread only while no main task runs, and by the main task only while it runs; thread creation
// and the ThreadAlive release/acquire pair order the hand-overs.
SocketTask mainTask;
// With the default loopback address the listener also takes ::1 on the same port: many mail
// clients resolve "localhost" to ::1 first. Owned like mainTask.Socket; -1 when not open.
int secondListenSocket = -1;

// What every session shares; lives as long as the process, like the listener's record.
EngineServices services;

std::atomic<int> connectMillis{limits::kConnectMillis};
std::atomic<int> handshakeMillis{limits::kHandshakeMillis};
std::atomic<int> replyMillis{limits::kReplyMillis};
std::atomic<int> clientIdleMillis{limits::kClientIdleMillis};

void sleepOnePeriod() {
    std::this_thread::sleep_for(std::chrono::milliseconds(limits::kPollMillis));
}

// accept failures that only mean "this connection is gone, try the next one".
bool acceptFailureIsTransient(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED ||
           error == EPROTO;
}

void acceptOne(int listenSocket) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int socket =
        accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (socket >= 0) {
        startSubTask(socket); // no send delay and keepalive come from the listening socket
        return;
    }
    // Out of descriptors (or another lasting fault): the waiting connection stays queued and
    // the socket stays readable, so wait a period instead of spinning on it.
    if (!acceptFailureIsTransient(errno)) {
        sleepOnePeriod();
    }
}

void mainTaskMain() {
    mainTask.ThreadId = static_cast<std::uint32_t>(gettid());
    DebugLog("MainTaskStart");
    pollfd listening[2] = {{mainTask.Socket, POLLIN, 0}, {secondListenSocket, POLLIN, 0}};
    const nfds_t count = secondListenSocket >= 0 ? 2 : 1;
    while (mainTask.running()) {
        const int ready = poll(listening, count, limits::kPollMillis);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || ((listening[0].revents | listening[1].revents) & POLLNVAL) != 0) {
            mainTask.stop();
            break;
        }
        if (!mainTask.running()) {
            break;
        }
        if (ready == 0) {
            releaseIdleMemory();
            continue;
        }
        for (nfds_t i = 0; i < count; ++i) {
            // A failed or hung-up socket counts as readable: accept reports it.
            if ((listening[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                acceptOne(listening[i].fd);
            }
        }
    }
    const int socket = mainTask.Socket;
    mainTask.Socket = -1;
    closeSocket(socket);
    closeSocket(secondListenSocket);
    secondListenSocket = -1;
    // Traced before the alive signal drops, so that once serverStop returns the main task
    // touches nothing shared any more.
    DebugLog("MainTaskEnd");
    mainTask.ThreadAlive.store(false, std::memory_order_release);
}

bool isDefaultLoopback(const char* address) {
    return address != nullptr &&
           (std::strcmp(address, "127.0.0.1") == 0 || strcasecmp(address, "localhost") == 0);
}

rlim_t systemDescriptorCeiling() {
    rlim_t ceiling = 1024 * 1024;
    if (FILE* file = std::fopen("/proc/sys/fs/nr_open", "r")) {
        unsigned long value = 0;
        if (std::fscanf(file, "%lu", &value) == 1 && value > 0) {
            ceiling = value;
        }
        std::fclose(file);
    }
    return ceiling;
}

} // namespace

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    rlim_t target = limit.rlim_max;
    if (target == RLIM_INFINITY) {
        target = systemDescriptorCeiling();
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= target) {
        return;
    }
    limit.rlim_cur = target;
    setrlimit(RLIMIT_NOFILE, &limit);
}

int openListenSocket(const char* host, std::int32_t port) {
    sockaddr_storage local{};
    socklen_t length = 0;
    in6_addr v6{};
    if (host != nullptr && inet_pton(AF_INET6, host, &v6) == 1) {
        auto& address = reinterpret_cast<sockaddr_in6&>(local);
        address.sin6_family = AF_INET6;
        address.sin6_addr = v6;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof address;
    } else {
        const std::uint32_t address = resolveAddress(host);
        if (address == kNoAddress) {
            return -1;
        }
        reinterpret_cast<sockaddr_in&>(local) = ipv4Address(address, port);
        length = sizeof(sockaddr_in);
    }
    if (!portInRange(port)) {
        DebugLog("Bad port(%d)", port);
        return -1;
    }
    const int socket = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return -1;
    }
    // Lets a reopen bind while connections of the previous listener linger in TIME_WAIT; a
    // port on which another socket listens is still refused.
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (local.ss_family == AF_INET6) {
        setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), length) != 0) {
        const int error = errno;
        closeSocket(socket);
        errno = error; // the caller may tell the user why
        return -1;
    }
    // Accepted sockets inherit these: no per-session system calls for them.
    setNoDelay(socket);
    setKeepAlive(socket);
    listen(socket, SOMAXCONN);
    return socket;
}

bool serverOpen(const char* address, std::int32_t port) {
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        raiseDescriptorLimit();
        shareOneHeapArena();
    });
    if (serverIsRunning()) {
        serverStop();
    }
    closeSocket(mainTask.Socket);
    mainTask.Socket = -1;
    closeSocket(secondListenSocket);
    secondListenSocket = -1;
    DebugLog("Host=%s,Prot=%d", address != nullptr ? address : "", port);
    mainTask.Socket = openListenSocket(address, port);
    if (mainTask.Socket < 0) {
        return false;
    }
    if (isDefaultLoopback(address)) {
        const int error = errno;
        secondListenSocket = openListenSocket("::1", port);
        if (secondListenSocket < 0) {
            // A machine without IPv6, or another program on ::1 and this port: the IPv4
            // listener serves alone, as it always did.
            DebugLog("Listen ::1 error(%d)", errno);
        }
        errno = error;
    }
    return true;
}

void serverStart() {
    // The alive signal is read first: once it reads false, the ended main task's last write
    // to the record is visible here.
    if (serverIsRunning() || mainTask.Socket < 0) {
        return;
    }
    mainTask.Running.store(true, std::memory_order_release);
    mainTask.ThreadAlive.store(true, std::memory_order_release);
    try {
        std::thread(mainTaskMain).detach();
    } catch (const std::system_error&) {
        mainTask.stop();
        mainTask.ThreadAlive.store(false, std::memory_order_release);
        closeSocket(mainTask.Socket);
        mainTask.Socket = -1;
        DebugLog("MainTask thread error");
    }
}

void serverStop() {
    mainTask.stop();
    while (serverIsRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(limits::kStopPollMillis));
    }
}

EngineServices& engineServices() {
    return services;
}

EngineDeadlines engineDeadlines() {
    return {connectMillis.load(std::memory_order_relaxed),
            handshakeMillis.load(std::memory_order_relaxed),
            replyMillis.load(std::memory_order_relaxed),
            clientIdleMillis.load(std::memory_order_relaxed)};
}

void setEngineDeadlines(const EngineDeadlines& deadlines) {
    connectMillis.store(deadlines.connectMillis, std::memory_order_relaxed);
    handshakeMillis.store(deadlines.handshakeMillis, std::memory_order_relaxed);
    replyMillis.store(deadlines.replyMillis, std::memory_order_relaxed);
    clientIdleMillis.store(deadlines.clientIdleMillis, std::memory_order_relaxed);
}

bool serverIsRunning() {
    return mainTask.ThreadAlive.load(std::memory_order_acquire);
}
