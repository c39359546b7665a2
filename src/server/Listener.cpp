// The listening socket, the main task's accept loop and the engine's entry points.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
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
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int socket =
        accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (socket >= 0) {
        setNoDelay(socket);
        startSubTask(socket);
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
    while (mainTask.running()) {
        const int ready = waitReadable(mainTask.Socket, limits::kPollMillis);
        if (ready < 0) {
            mainTask.stop();
            break;
        }
        if (!mainTask.running()) {
            break;
        }
        if (ready == 1) {
            releaseIdleMemory();
            continue;
        }
        acceptOne(mainTask.Socket);
    }
    const int socket = mainTask.Socket;
    mainTask.Socket = -1;
    closeSocket(socket);
    // Traced before the alive signal drops, so that once serverStop returns the main task
    // touches nothing shared any more.
    DebugLog("MainTaskEnd");
    mainTask.ThreadAlive.store(false, std::memory_order_release);
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
    const std::uint32_t address = resolveAddress(host);
    if (address == kNoAddress) {
        return -1;
    }
    if (!portInRange(port)) {
        DebugLog("Bad port(%d)", port);
        return -1;
    }
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return -1;
    }
    // Lets a reopen bind while connections of the previous listener linger in TIME_WAIT; a
    // port on which another socket listens is still refused.
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = ipv4Address(address, port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        closeSocket(socket);
        return -1;
    }
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
    DebugLog("Host=%s,Prot=%d", address != nullptr ? address : "", port);
    mainTask.Socket = openListenSocket(address, port);
    return mainTask.Socket >= 0;
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
