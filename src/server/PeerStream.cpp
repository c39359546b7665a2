// The upstream side of a session as one byte stream: the plain socket, or TLS over it. The line
// reader, the login and the relay all go through here, so plain and TLS upstreams behave alike.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>

#include "Limits.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

// Waits up to one poll period for `events` on the socket; false only when waiting failed.
bool waitOnePeriod(int socket, short events, int millis) {
    pollfd entry{socket, events, 0};
    const int count = poll(&entry, 1, millis);
    return count >= 0 || errno == EINTR;
}

} // namespace

long peerReceive(SocketTask& task, char* into, std::size_t length, bool peek) {
    if (!task.PeerTls) {
        return receiveRetrying(task.PeerSocket, into, length, peek ? MSG_PEEK : 0);
    }
    std::size_t done = 0;
    const TlsIo result =
        peek ? task.PeerTls->peek(into, length, done) : task.PeerTls->read(into, length, done);
    switch (result) {
    case TlsIo::Done:
        return static_cast<long>(done);
    case TlsIo::WantRead:
    case TlsIo::WantWrite:
        return kNothingYet;
    case TlsIo::Closed:
        return 0;
    case TlsIo::Failed:
        DebugLog("TLS read error: %s", task.PeerTls->error().c_str());
        return -1;
    }
    return -1;
}

short peerWaitEvents(const SocketTask& task) {
    // A TLS read may first have to finish a write of the library's own (a key update).
    return task.PeerTls && task.PeerTls->wantsWrite() ? POLLOUT : POLLIN;
}

bool peerHasBuffered(const SocketTask& task) {
    return task.PeerTls && task.PeerTls->hasBuffered();
}

long peerSend(SocketTask& task, const char* bytes, std::size_t length, int deadlineMillis) {
    if (!task.PeerTls) {
        return sendAll(task.PeerSocket, bytes, length);
    }
    const auto started = std::chrono::steady_clock::now();
    std::size_t sent = 0;
    while (sent < length) {
        std::size_t done = 0;
        const TlsIo result = task.PeerTls->write(bytes + sent, length - sent, done);
        if (result == TlsIo::Done) {
            sent += done;
            continue;
        }
        if (result != TlsIo::WantRead && result != TlsIo::WantWrite) {
            if (result == TlsIo::Failed) {
                DebugLog("TLS write error: %s", task.PeerTls->error().c_str());
            }
            return -1;
        }
        if (!task.running()) {
            return -1;
        }
        if (deadlineMillis >= 0 && std::chrono::steady_clock::now() - started >=
                                       std::chrono::milliseconds(deadlineMillis)) {
            return -1;
        }
        const short events = result == TlsIo::WantRead ? POLLIN : POLLOUT;
        if (!waitOnePeriod(task.PeerSocket, events, limits::kPollMillis)) {
            return -1;
        }
    }
    return static_cast<long>(length);
}

namespace {

// The line as a connection test shows it: a credential as "***", after the AUTH command and
// mechanism when the line starts with them.
std::string shownLine(const char* text, bool mask) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (!mask) {
        return line;
    }
    if (isCommand(line.c_str(), "AUTH ")) {
        const std::size_t mechanismEnd = line.find(' ', 5);
        if (mechanismEnd != std::string::npos) {
            return line.substr(0, mechanismEnd) + " ***";
        }
    }
    return "***";
}

} // namespace

void sendServerLine(SocketTask& task, const char* text, bool trace) {
    if (task.Transcript) {
        task.Transcript(true, shownLine(text, task.MaskNextSend || !trace));
    }
    task.MaskNextSend = false;
    if (!task.PeerTls) {
        sendLine(task.PeerSocket, text, trace);
        return;
    }
    if (trace) {
        DebugLogRaw("send:%s", text);
    }
    std::string wire = text;
    if (!wire.empty() && wire.back() == '\n') {
        wire.back() = '\r';
        wire += '\n';
    }
    // A failed send is noticed by the next read, as on a plain socket.
    peerSend(task, wire.data(), wire.size(), engineDeadlines().replyMillis);
    explicit_bzero(wire.data(), wire.size()); // the line may be a login's
}

void closePeer(SocketTask& task) {
    if (task.PeerTls) {
        task.PeerTls->shutdown();
        task.PeerTls.reset();
    }
    closeSocket(task.PeerSocket);
    task.PeerSocket = -1;
}
