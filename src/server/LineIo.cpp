// Line I/O of a session: sending lines and the fixed error replies, reading one line.
#include <cerrno>
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
    "550 Can not be connected to SMTP server\r\n",
};
constexpr const char* kUnknownErrorReply = "500 error\r\n";

// Most bytes looked at per read; the read itself stops at the line's LF.
constexpr std::size_t kPeekChunk = 512;

ssize_t receive(int socket, void* into, std::size_t length, int flags) {
    ssize_t count;
    do {
        count = recv(socket, into, length, flags);
    } while (count < 0 && errno == EINTR);
    return count;
}

enum class Piece { More, LineEnded, Failed };

// Takes the bytes that are waiting, up to and including the first LF and not one byte more
// (the relay takes over the socket right after the last line), into the line.
Piece readLinePiece(SocketTask& task, int socket, char* buffer, std::size_t size,
                    std::size_t& length) {
    char chunk[kPeekChunk];
    const ssize_t waiting = receive(socket, chunk, sizeof chunk, MSG_PEEK);
    if (waiting <= 0) {
        DebugLog("getLine ReadError");
        task.stop();
        return Piece::Failed;
    }
    const void* lineFeed = std::memchr(chunk, '\n', static_cast<std::size_t>(waiting));
    const std::size_t wanted =
        lineFeed != nullptr
            ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - chunk + 1)
            : static_cast<std::size_t>(waiting);
    const ssize_t taken = receive(socket, chunk, wanted, 0);
    if (taken <= 0) {
        DebugLog("getLine ReadError");
        task.stop();
        return Piece::Failed;
    }
    for (ssize_t i = 0; i < taken; ++i) {
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

// A client byte that arrives while a server line is awaited is read and dropped.
void discardClientByte(SocketTask& task) {
    char byte = 0;
    if (receive(task.Socket, &byte, 1, 0) <= 0) {
        DebugLog("getLine Client ReadError");
        task.stop();
        return;
    }
    const int value = static_cast<signed char>(byte);
    DebugLog("client read(%x,%c)", static_cast<unsigned>(value), value);
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
    return index >= 0 && index <= 2 ? kErrorReplies[index] : kUnknownErrorReply;
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
    pollfd watched[2] = {{socket, POLLIN, 0}, {task.Socket, POLLIN, 0}};
    const nfds_t watchedCount = fromServer ? 2 : 1;
    constexpr short kReadable = POLLIN | POLLERR | POLLHUP;
    std::size_t length = 0;
    if (size == 0) {
        DebugLog("getLine Overflow");
        task.stop();
        return -1;
    }
    bool ended = false;
    while (!ended && task.running()) {
        const int count = poll(watched, watchedCount, limits::kPollMillis);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || ((watched[0].revents | watched[1].revents) & POLLNVAL) != 0) {
            DebugLog("getLineError");
            task.stop();
            break;
        }
        if (count == 0) {
            continue;
        }
        if (!task.running()) {
            break;
        }
        if ((watched[0].revents & kReadable) != 0) {
            const Piece piece = readLinePiece(task, socket, buffer, size, length);
            if (piece == Piece::LineEnded) {
                ended = true;
                break;
            }
            if (piece == Piece::Failed) {
                break;
            }
        }
        if (fromServer && (watched[1].revents & kReadable) != 0) {
            discardClientByte(task);
        }
    }
    buffer[length] = '\0';
    if (!task.running()) {
        return -1;
    }
    if (fromServer) {
        DebugLog("Get :%s", buffer);
    } else if (DebugEnabled()) {
        DebugLog("get :%s", clientLineForTrace(buffer).c_str());
    }
    return 0;
}
