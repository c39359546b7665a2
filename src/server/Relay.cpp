// The relay: after the hand-over every byte passes unchanged between client and server.
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "Limits.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace {

ssize_t receive(int socket, char* into, std::size_t length) {
    ssize_t count;
    do {
        count = recv(socket, into, length, 0);
    } while (count < 0 && errno == EINTR);
    return count;
}

bool endRelay(SocketTask& task, const char* trace) {
    DebugLog("%s", trace);
    task.stop();
    return false;
}

// One piece from the client to the server; false (after its trace) when either side is gone.
bool passToServer(SocketTask& task, char* buffer) {
    const ssize_t count = receive(task.Socket, buffer, limits::kRelayBuffer);
    if (count <= 0) {
        return endRelay(task, "Client Read Error");
    }
    if (peerSend(task, buffer, static_cast<std::size_t>(count), -1) < 0) {
        return endRelay(task, "Server Write Error");
    }
    return true;
}

// One piece from the server to the client. A TLS upstream may show readable with only part of a
// record: nothing to pass yet.
bool passToClient(SocketTask& task, char* buffer) {
    const long count = peerReceive(task, buffer, limits::kRelayBuffer, false);
    if (count == kNothingYet) {
        return true;
    }
    if (count <= 0) {
        return endRelay(task, "Server Read Error");
    }
    if (sendAll(task.Socket, buffer, static_cast<std::size_t>(count)) < 0) {
        return endRelay(task, "Client Write Error");
    }
    return true;
}

} // namespace

void relay(SocketTask& task) {
    DebugLog("Work Started of After SMTP AUTH");
    // On the thread's own stack: its pages go back when the session's thread ends, where a heap
    // block would leave touched pages pinned in a malloc arena after every burst of sessions.
    char buffer[limits::kRelayBuffer];
    constexpr short kReadable = POLLIN | POLLOUT | POLLERR | POLLHUP;
    pollfd watched[2] = {{task.Socket, POLLIN | POLLPRI, 0},
                         {task.PeerSocket, POLLIN | POLLPRI, 0}};
    while (task.running()) {
        watched[1].events = static_cast<short>(peerWaitEvents(task) | POLLPRI);
        // Bytes already inside the TLS layer do not wake poll: pass them on first.
        const bool buffered = peerHasBuffered(task);
        const int count = poll(watched, 2, buffered ? 0 : limits::kPollMillis);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || ((watched[0].revents | watched[1].revents) & POLLNVAL) != 0) {
            return;
        }
        if (count == 0 && !buffered) {
            continue; // an idle connection stays open for as long as both peers keep it
        }
        if (!task.running()) {
            return;
        }
        // Client to server first, then server to client, within one pass.
        if ((watched[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0 &&
            !passToServer(task, buffer)) {
            return;
        }
        if ((buffered || (watched[1].revents & kReadable) != 0) && !passToClient(task, buffer)) {
            return;
        }
        // Urgent data is the exception that ends the relay, without a trace.
        if (((watched[0].revents | watched[1].revents) & POLLPRI) != 0) {
            task.stop();
            return;
        }
    }
}
