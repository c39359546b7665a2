#include "TestNet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/Server.h"

namespace testnet {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMillis(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// One recv of at most `count` bytes before the deadline: >0 bytes, 0 closed, -1 time out/error.
ssize_t receiveBefore(int socket, char* into, std::size_t count, Clock::time_point deadline) {
    pollfd entry{socket, POLLIN, 0};
    for (;;) {
        const int ready = poll(&entry, 1, remainingMillis(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return -1;
        }
        const ssize_t got = recv(socket, into, count, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno == ECONNRESET ? 0 : -1;
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

int acceptBefore(int listenSocket, Clock::time_point deadline) {
    pollfd entry{listenSocket, POLLIN, 0};
    if (poll(&entry, 1, remainingMillis(deadline)) <= 0) {
        return -1;
    }
    return accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
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
    return socket;
}

int freePort() {
    int port = 0;
    closeSocketQuietly(listenLoopback(&port));
    return port;
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

std::string readLine(int socket, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string line;
    char byte = 0;
    while (receiveBefore(socket, &byte, 1, deadline) == 1) {
        line.push_back(byte);
        if (byte == '\n') {
            break;
        }
    }
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

std::string readToClose(int socket, bool* closed, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string bytes;
    char chunk[4096];
    *closed = false;
    for (;;) {
        const ssize_t got = receiveBefore(socket, chunk, sizeof chunk, deadline);
        if (got == 0) {
            *closed = true;
            break;
        }
        if (got < 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

void closeSocketQuietly(int socket) {
    if (socket >= 0) {
        close(socket);
    }
}

int countOpenDescriptors() {
    int count = 0;
    if (DIR* directory = opendir("/proc/self/fd")) {
        while (const dirent* item = readdir(directory)) {
            if (item->d_name[0] != '.') {
                ++count;
            }
        }
        closedir(directory);
        --count; // the directory's own descriptor
    }
    return count;
}

bool waitForActiveSessions(int count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (activeSubTasks() != count) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

int startSession() {
    int port = 0;
    const int listenSocket = listenLoopback(&port);
    const int client = connectLoopback(port);
    const int accepted = acceptBefore(listenSocket, Clock::now() + kIoTimeout);
    closeSocketQuietly(listenSocket);
    if (client < 0 || accepted < 0) {
        closeSocketQuietly(client);
        closeSocketQuietly(accepted);
        return -1;
    }
    setNoDelay(accepted);
    startSubTask(accepted);
    return client;
}

ProxyData entryFor(const std::string& domain, int port, std::int32_t method,
                   const std::string& user, const std::string& password) {
    ProxyData entry;
    entry.Domain = domain;
    entry.SMTP = "127.0.0.1";
    entry.Method = method;
    entry.User = user;
    entry.Passwd = password;
    entry.Port = port;
    return entry;
}

void setEntries(const std::vector<ProxyData>& entries) {
    ProxyList.Clear();
    int index = 0;
    for (ProxyData entry : entries) {
        entry.Index = index++;
        ProxyList.Append(entry);
    }
}

// ScriptedServer -------------------------------------------------------------------------------

ScriptedServer::ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
    listen_ = listenLoopback(&port_);
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    if (!accepted_) {
        shutdown(listen_, SHUT_RDWR); // wakes the waiting accept
    }
    finish();
    if (thread_.joinable()) {
        thread_.join();
    }
    closeSocketQuietly(listen_);
}

bool ScriptedServer::finish(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done_) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::string ScriptedServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedServer::mismatches() const {
    std::lock_guard lock(mutex_);
    return mismatches_;
}

bool ScriptedServer::readLine(int socket, std::string& line) {
    const auto deadline = Clock::now() + kIoTimeout;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end + 1);
            pending_.erase(0, end + 1);
            return true;
        }
        char chunk[4096];
        const ssize_t got = receiveBefore(socket, chunk, sizeof chunk, deadline);
        if (got <= 0) {
            sawClose_ = got == 0;
            line = pending_;
            return false;
        }
        pending_.append(chunk, static_cast<std::size_t>(got));
        std::lock_guard lock(mutex_);
        received_.append(chunk, static_cast<std::size_t>(got));
    }
}

void ScriptedServer::run() {
    const int socket = acceptBefore(listen_, Clock::now() + kIoTimeout);
    if (socket < 0) {
        done_ = true;
        return;
    }
    accepted_ = true;
    bool closedByScript = false;
    for (const Step& step : script_) {
        if (step.kind == Step::Kind::Send) {
            sendText(socket, step.bytes);
        } else if (step.kind == Step::Kind::Close) {
            closedByScript = true;
            break;
        } else {
            std::string line;
            const bool got = readLine(socket, line);
            if (!got || line != step.bytes) {
                std::lock_guard lock(mutex_);
                mismatches_.push_back("expected [" + step.bytes + "] got [" + line + "]");
                if (!got) {
                    break;
                }
            }
        }
    }
    if (!closedByScript && !sawClose_) {
        bool closed = false;
        const std::string rest = readToClose(socket, &closed);
        std::lock_guard lock(mutex_);
        received_ += rest;
        sawClose_ = closed;
    }
    close(socket);
    done_ = true;
}

// MailSink -----------------------------------------------------------------------------------

MailSink::MailSink() {
    listen_ = listenLoopback(&port_);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

MailSink::~MailSink() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    closeSocketQuietly(listen_);
}

std::vector<std::string> MailSink::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

void MailSink::acceptLoop() {
    while (!stop_) {
        const int socket = acceptBefore(listen_, Clock::now() + 50ms);
        if (socket >= 0) {
            workers_.emplace_back([this, socket] { serve(socket); });
        }
    }
}

void MailSink::serve(int socket) {
    const auto reply = [socket](const char* text) { sendText(socket, text); };
    reply("220-sink ready\r\n220 sink\r\n");
    std::string data;
    bool inData = false;
    for (;;) {
        const std::string line = testnet::readLine(socket, 10s);
        if (line.empty()) {
            break;
        }
        if (inData) {
            if (line == ".\r\n") {
                inData = false;
                {
                    std::lock_guard lock(mutex_);
                    messages_.push_back(data);
                }
                reply("250 queued\r\n");
            } else {
                data += line;
            }
        } else if (line.rfind("EHLO", 0) == 0) {
            reply("250-sink\r\n250-AUTH PLAIN\r\n250 8BITMIME\r\n");
        } else if (line.rfind("AUTH PLAIN", 0) == 0) {
            reply("235 ok\r\n");
        } else if (line.rfind("DATA", 0) == 0) {
            inData = true;
            reply("354 go\r\n");
        } else if (line.rfind("QUIT", 0) == 0) {
            reply("221 bye\r\n");
            break;
        } else {
            reply("250 ok\r\n");
        }
    }
    close(socket);
}

} // namespace testnet
