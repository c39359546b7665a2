#include "FuzzSession.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "AuthText.h"
#include "EngineSetup.h"
#include "FuzzCheck.h"
#include "LoopbackSocket.h"
#include "ProcessState.h"
#include "TraceCapture.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace fuzzsession {

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

// No input of these targets needs more than a few milliseconds; this only catches a hang.
constexpr auto kSessionLimit = std::chrono::seconds(5);

std::mutex planMutex;
bool replay = false;
std::string replayBytes;
int listener = -1;
int upstreamPort = 0;
std::atomic<int> connectionsServed{0};
std::atomic<bool> connectionOpen{false};
std::unique_ptr<TraceCapture> trace;
int baselineDescriptors = -1;

void serveSmtp(int socket) {
    LineReader reader(socket);
    std::string line;
    if (!sendText(socket, "220 upstream ESMTP\r\n")) {
        return;
    }
    bool inData = false;
    int authPrompts = 0;
    while (reader.line(&line)) {
        std::string upper = line;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        std::string reply;
        if (inData) {
            if (line == ".") {
                inData = false;
                reply = "250 queued\r\n";
            }
        } else if (authPrompts > 0) {
            --authPrompts;
            reply = authPrompts > 0 ? "334 UGFzc3dvcmQ6\r\n" : "235 ok\r\n";
        } else if (upper.rfind("EHLO", 0) == 0) {
            reply = "250-upstream\r\n250-AUTH LOGIN PLAIN CRAM-MD5\r\n250 OK\r\n";
        } else if (upper == "AUTH LOGIN") {
            authPrompts = 2;
            reply = "334 VXNlcm5hbWU6\r\n";
        } else if (upper == "AUTH CRAM-MD5") {
            authPrompts = 1;
            reply = "334 PDE4OTYuNjk3MTcwOTUyQHVwc3RyZWFtPg==\r\n";
        } else if (upper.rfind("AUTH PLAIN", 0) == 0) {
            reply = "235 ok\r\n";
        } else if (upper == "DATA") {
            inData = true;
            reply = "354 go on\r\n";
        } else if (upper == "QUIT") {
            sendText(socket, "221 bye\r\n");
            return;
        } else {
            reply = "250 ok\r\n";
        }
        if (!reply.empty() && !sendText(socket, reply)) {
            return;
        }
    }
}

void serveReplay(int socket, const std::string& bytes) {
    sendText(socket, bytes);
    ::shutdown(socket, SHUT_WR);
    LineReader(socket).drainUntilClosed();
}

// One connection at a time: a session makes at most one, and the harness waits for its end.
// `connectionOpen` is raised before the connection leaves the accept queue, so "queue empty and
// no connection open" (checked in that order) means the upstream has nothing left to do.
void upstreamLoop() {
    for (;;) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, -1) <= 0) {
            continue;
        }
        connectionOpen = true;
        const int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) {
            connectionOpen = false;
            continue;
        }
        bool replaying;
        std::string bytes;
        {
            std::lock_guard lock(planMutex);
            replaying = replay;
            bytes = replayBytes;
        }
        if (replaying) {
            serveReplay(socket, bytes);
        } else {
            serveSmtp(socket);
        }
        ::close(socket);
        ++connectionsServed;
        connectionOpen = false;
    }
}

void pointEntriesAt(int method) {
    setEntries({entryFor("example.com", upstreamPort, method, kUser, kPassword),
                entryFor("none.test", upstreamPort, MethodNone, kUser, kPassword),
                entryFor("down.test", 1, MethodLogin, kUser, kPassword)}); // nothing listens on 1
}

std::size_t queuedUnread(int socket) {
    int queued = 0;
    return ::ioctl(socket, SIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<std::size_t>(queued)
                                                                 : 0;
}

} // namespace

void initialize() {
    listener = listenLoopback(&upstreamPort);
    check(listener >= 0, "upstream listener");
    std::thread(upstreamLoop).detach();
    pointEntriesAt(MethodLogin);
    trace = std::make_unique<TraceCapture>();
    // libFuzzer ends the process through exit: the capture ends, and takes its directory along,
    // before the diagnostic channel's own statics are destroyed.
    std::atexit([] { trace.reset(); });
}

void upstreamSpeaksSmtp() {
    std::lock_guard lock(planMutex);
    replay = false;
}

void upstreamReplays(const std::string& bytes) {
    std::lock_guard lock(planMutex);
    replay = true;
    replayBytes = bytes;
}

void setMethod(int method) {
    pointEntriesAt(method);
}

Outcome runSession(const std::string& clientBytes, bool closeClientWhenQuiet) {
    // Every session traces into a fresh file, so each run's output can be searched on its own.
    trace->stop();
    if (baselineDescriptors < 0) {
        baselineDescriptors = countSocketsAndFiles();
    }
    trace->restart();
    const int servedBefore = connectionsServed;

    int pair[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    const int client = pair[0];
    check(sendText(client, clientBytes), "client bytes written");
    check(startSubTask(pair[1]), "session started");

    Outcome outcome;
    const auto deadline = Clock::now() + kSessionLimit;
    auto lastOutput = Clock::now();
    bool clientClosed = false;
    for (;;) {
        check(Clock::now() < deadline, "session ended in bounded time");
        pollfd p{client, POLLIN, 0};
        ::poll(&p, 1, 1);
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char chunk[4096];
            const ssize_t n = ::recv(client, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n == 0) {
                break; // the proxy closed the client's connection: the session is over
            }
            if (n > 0) {
                outcome.toClient.append(chunk, static_cast<std::size_t>(n));
                lastOutput = Clock::now();
            }
            continue;
        }
        if (closeClientWhenQuiet && !clientClosed && queuedUnread(client) == 0 &&
            Clock::now() - lastOutput > std::chrono::milliseconds(2)) {
            ::shutdown(client, SHUT_WR);
            clientClosed = true;
        }
    }
    ::close(client);

    // The session's own end: its thread has released its record, and the upstream connection
    // (if any) has been closed by the proxy.
    auto upstreamBusy = [] {
        pollfd p{listener, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 || connectionOpen;
    };
    while (activeSubTasks() != 0 || upstreamBusy()) {
        check(Clock::now() < deadline, "session released its sockets in bounded time");
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    outcome.upstreamConnections = connectionsServed - servedBefore;
    trace->stop(); // closes the trace file, which is not the session's
    const int descriptors = countSocketsAndFiles();
    if (descriptors != baselineDescriptors) {
        std::fprintf(stderr, "sockets and files open: %d, at start: %d\n", descriptors,
                     baselineDescriptors);
    }
    check(descriptors == baselineDescriptors, "no descriptor left behind");
    return outcome;
}

std::string lastTrace() {
    return trace->text();
}

std::vector<std::string> secrets() {
    const std::string user = kUser;
    return {kPassword, toBase64(kPassword), toBase64(user + '\0' + user + '\0' + kPassword)};
}

} // namespace fuzzsession
