#include "FuzzSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "FuzzCheck.h"
#include "codec/Base64.h"
#include "config/Proxydata.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace fuzzsession {

namespace {

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
std::string traceDir;
int baselineDescriptors = -1;

// Sockets and regular files only: the sanitizers' symbolizer opens pipes of its own at any time.
int CountDescriptors() {
    int count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string target = std::filesystem::read_symlink(it->path(), error).string();
        count += target.rfind("socket:", 0) == 0 || target.rfind("/", 0) == 0 ? 1 : 0;
    }
    return count;
}

bool SendAllBytes(int socket, const std::string& bytes) {
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

// Reads one line (without CR LF); false at the end of the stream.
bool ReadLine(int socket, std::string& pending, std::string* line) {
    for (;;) {
        const std::size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            *line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line->empty() && line->back() == '\r') {
                line->pop_back();
            }
            return true;
        }
        char chunk[4096];
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
    }
}

void ServeSmtp(int socket) {
    std::string pending, line;
    if (!SendAllBytes(socket, "220 upstream ESMTP\r\n")) {
        return;
    }
    bool inData = false;
    int authPrompts = 0;
    while (ReadLine(socket, pending, &line)) {
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
            SendAllBytes(socket, "221 bye\r\n");
            return;
        } else {
            reply = "250 ok\r\n";
        }
        if (!reply.empty() && !SendAllBytes(socket, reply)) {
            return;
        }
    }
}

void ServeReplay(int socket, const std::string& bytes) {
    SendAllBytes(socket, bytes);
    ::shutdown(socket, SHUT_WR);
    char sink[4096];
    while (::recv(socket, sink, sizeof sink, 0) > 0) {
    }
}

// One connection at a time: a session makes at most one, and the harness waits for its end.
// `connectionOpen` is raised before the connection leaves the accept queue, so "queue empty and
// no connection open" (checked in that order) means the upstream has nothing left to do.
void UpstreamLoop() {
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
            ServeReplay(socket, bytes);
        } else {
            ServeSmtp(socket);
        }
        ::close(socket);
        ++connectionsServed;
        connectionOpen = false;
    }
}

void SetEntries(int method) {
    ProxyList.Clear();
    ProxyData entry;
    entry.SMTP = "127.0.0.1";
    entry.User = kUser;
    entry.Passwd = kPassword;
    entry.Port = upstreamPort;
    entry.Domain = "example.com";
    entry.Method = method;
    ProxyList.Add(entry);
    entry.Domain = "none.test";
    entry.Method = MethodNone;
    ProxyList.Add(entry);
    entry.Domain = "down.test";
    entry.Port = 1; // nothing listens there
    entry.Method = MethodLogin;
    ProxyList.Add(entry);
}

std::size_t QueuedUnread(int socket) {
    int queued = 0;
    return ::ioctl(socket, SIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<std::size_t>(queued)
                                                                 : 0;
}

} // namespace

void Initialize() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    Check(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listener, 16) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "upstream listener");
    upstreamPort = ntohs(address.sin_port);
    std::thread(UpstreamLoop).detach();
    SetEntries(MethodLogin);

    char dir[] = "/tmp/vellomir-fuzz-session-XXXXXX";
    Check(::mkdtemp(dir) != nullptr, "trace directory");
    traceDir = dir;
    static std::string ownDir = traceDir;
    std::atexit([] { std::filesystem::remove_all(ownDir); });
}

void UpstreamSpeaksSmtp() {
    std::lock_guard lock(planMutex);
    replay = false;
}

void UpstreamReplays(const std::string& bytes) {
    std::lock_guard lock(planMutex);
    replay = true;
    replayBytes = bytes;
}

void SetMethod(int method) {
    SetEntries(method);
}

Outcome RunSession(const std::string& clientBytes, bool closeClientWhenQuiet) {
    // Every session traces into a fresh file, so each run's output can be searched on its own.
    DebugResetForTest();
    if (baselineDescriptors < 0) {
        baselineDescriptors = CountDescriptors();
    }
    DebugSetup(DebugFile, (traceDir + "/trace.log").c_str());
    const int servedBefore = connectionsServed;

    int pair[2];
    Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    const int client = pair[0];
    Check(SendAllBytes(client, clientBytes), "client bytes written");
    Check(startSubTask(pair[1]), "session started");

    Outcome outcome;
    const auto deadline = Clock::now() + kSessionLimit;
    auto lastOutput = Clock::now();
    bool clientClosed = false;
    for (;;) {
        Check(Clock::now() < deadline, "session ended in bounded time");
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
        if (closeClientWhenQuiet && !clientClosed && QueuedUnread(client) == 0 &&
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
        Check(Clock::now() < deadline, "session released its sockets in bounded time");
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    outcome.upstreamConnections = connectionsServed - servedBefore;
    DebugResetForTest(); // closes the trace file, which is not the session's
    const int descriptors = CountDescriptors();
    if (descriptors != baselineDescriptors) {
        std::fprintf(stderr, "sockets and files open: %d, at start: %d\n", descriptors,
                     baselineDescriptors);
    }
    Check(descriptors == baselineDescriptors, "no descriptor left behind");
    return outcome;
}

std::string LastTrace() {
    std::ifstream in(traceDir + "/trace.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Base64(const std::string& bytes) {
    std::string out(Base64EncodedSize(bytes.size()), '\0');
    Base64EncodeBytes(bytes.data(), out.data(), static_cast<int>(bytes.size()), out.size());
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

} // namespace fuzzsession
