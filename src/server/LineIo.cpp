// Line I/O of a session: sending lines and the fixed error replies, reading one line.
#include <algorithm>
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

// SMTP lines end in CR LF, these included.
constexpr const char* kErrorReplies[] = {
    "550 Service not available\r\n",
    "550 domain name error\r\n",
    "421 Can not be connected to SMTP server\r\n",
    "421 Service not available\r\n",
};
constexpr const char* kUnknownErrorReply = "500 error\r\n";

// Most bytes looked at per read; the read itself stops at the line's LF.
constexpr std::size_t kPeekChunk = 512;

enum class Piece { More, LineEnded, Failed };

// Reads from the task's client socket, or from its upstream through peerReceive.
long readFrom(SocketTask& task, int socket, char* into, std::size_t length, bool peek) {
    if (socket == task.PeerSocket && socket != task.Socket) {
        return peerReceive(task, into, length, peek);
    }
    return receiveRetrying(socket, into, length, peek ? MSG_PEEK : 0);
}

void readFailed(SocketTask& task, int socket) {
    DebugLog("getLine ReadError");
    if (socket == task.PeerSocket) {
        task.fail(UpstreamFailure::Temporary, "the server closed the connection");
    } else {
        task.stop();
    }
}

// Takes the bytes that are waiting, up to and including the first LF and not one byte more
// (the relay takes over the socket right after the last line), into the line.
Piece readLinePiece(SocketTask& task, int socket, char* buffer, std::size_t size,
                    std::size_t& length) {
    char chunk[kPeekChunk];
    const long waiting = readFrom(task, socket, chunk, sizeof chunk, true);
    if (waiting == kNothingYet) {
        return Piece::More; // only part of a TLS record has come
    }
    if (waiting <= 0) {
        readFailed(task, socket);
        return Piece::Failed;
    }
    const void* lineFeed = std::memchr(chunk, '\n', static_cast<std::size_t>(waiting));
    const std::size_t wanted =
        lineFeed != nullptr
            ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - chunk + 1)
            : static_cast<std::size_t>(waiting);
    const long taken = readFrom(task, socket, chunk, wanted, false);
    if (taken <= 0) {
        readFailed(task, socket);
        return Piece::Failed;
    }
    for (long i = 0; i < taken; ++i) {
        const char byte = chunk[i];
        if (byte == '\n') {
            return Piece::LineEnded;
        }
        if (byte == '\r') {
            continue; // a CR is dropped wherever it stands
        }
        if (length + 1 >= size) {
            DebugLog("getLine Overflow");
            task.stop();
            return Piece::Failed;
        }
        buffer[length++] = byte;
    }
    return Piece::More;
}

// A mail client that tries to log in to the proxy sends its credentials with AUTH: its line is
// traced only up to the mechanism's name.
std::string clientLineForTrace(const char* line) {
    if (!isCommand(line, "auth ")) {
        return line;
    }
    const char* mechanism = line + 5;
    while (*mechanism == ' ') {
        ++mechanism;
    }
    const char* end = std::strchr(mechanism, ' ');
    return end != nullptr ? std::string(line, static_cast<std::size_t>(end - line))
                          : std::string(line);
}

} // namespace

const char* errorReplyText(int index) {
    return index >= 0 && index <= 3 ? kErrorReplies[index] : kUnknownErrorReply;
}

void sendError(int socket, int index) {
    const char* reply = errorReplyText(index);
    sendAll(socket, reply, std::strlen(reply));
}

void sendLine(int socket, const char* text, bool trace) {
    if (trace) {
        DebugLogRaw("send:%s", text);
    }
    std::size_t length = std::strlen(text);
    const bool lineFeed = length > 0 && text[length - 1] == '\n';
    if (lineFeed) {
        --length;
    }
    // A broken connection is noticed by the next read.
    sendTwoParts(socket, text, length, "\r\n", lineFeed ? 2 : 0);
}

int getLine(SocketTask& task, int socket, char* buffer, std::size_t size) {
    const bool fromServer = socket == task.PeerSocket && socket != task.Socket;
    // While a server line is awaited the client is watched for a hang-up only: bytes it sends
    // meanwhile stay in its socket, and the relay carries them upstream after the hand-over.
    pollfd watched[2] = {{socket, POLLIN, 0}, {task.Socket, POLLRDHUP, 0}};
    const nfds_t watchedCount = fromServer ? 2 : 1;
    constexpr short kReadable = POLLIN | POLLOUT | POLLERR | POLLHUP;
    constexpr short kClientGone = POLLRDHUP | POLLERR | POLLHUP;
    const EngineDeadlines deadlines = engineDeadlines();
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(fromServer ? deadlines.replyMillis : deadlines.clientIdleMillis);
    std::size_t length = 0;
    if (size == 0) {
        DebugLog("getLine Overflow");
        task.stop();
        return -1;
    }
    bool ended = false;
    while (!ended && task.running()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            DebugLog("getLine Timeout");
            if (fromServer) {
                task.fail(UpstreamFailure::Temporary, "no reply from the server in time");
            } else {
                task.ClientTimedOut = true;
            }
            task.stop();
            break;
        }
        if (fromServer) {
            watched[0].events = peerWaitEvents(task);
        }
        // Bytes held inside the TLS layer do not show on the socket.
        const bool buffered = fromServer && peerHasBuffered(task);
        const int wait =
            buffered ? 0 : static_cast<int>(std::min<long long>(limits::kPollMillis, left.count()));
        const int count = poll(watched, watchedCount, wait);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || ((watched[0].revents | watched[1].revents) & POLLNVAL) != 0) {
            DebugLog("getLineError");
            task.stop();
            break;
        }
        if (count == 0 && !buffered) {
            continue;
        }
        if (!task.running()) {
            break;
        }
        if (buffered || (watched[0].revents & kReadable) != 0) {
            const Piece piece = readLinePiece(task, socket, buffer, size, length);
            if (piece == Piece::LineEnded) {
                ended = true;
                break;
            }
            if (piece == Piece::Failed) {
                break;
            }
        }
        if (fromServer && (watched[1].revents & kClientGone) != 0) {
            DebugLog("getLine Client ReadError");
            task.stop();
        }
    }
    buffer[length] = '\0';
    if (!task.running()) {
        return -1;
    }
    if (fromServer) {
        DebugLog("Get :%s", buffer);
        if (task.Transcript) {
            task.Transcript(false, buffer);
        }
    } else if (DebugEnabled()) {
        DebugLog("get :%s", clientLineForTrace(buffer).c_str());
    }
    return 0;
}
