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

// One piece from `from` to `to`; false (after its trace) when either side is gone.
bool passPiece(SocketTask& task, int from, int to, char* buffer, const char* readError,
               const char* writeError) {
    const ssize_t count = receive(from, buffer, limits::kRelayBuffer);
    if (count <= 0) {
        DebugLog("%s", readError);
        task.stop();
        return false;
    }
    if (sendAll(to, buffer, static_cast<std::size_t>(count)) < 0) {
        DebugLog("%s", writeError);
        task.stop();
        return false;
    }
    return true;
}

} // namespace

void relay(SocketTask& task) {
    DebugLog("Work Started of After SMTP AUTH");
    // On the thread's own stack: its pages go back when the session's thread ends, where a heap
    // block would leave touched pages pinned in a malloc arena after every burst of sessions.
    char buffer[limits::kRelayBuffer];
    constexpr short kReadable = POLLIN | POLLERR | POLLHUP;
    pollfd watched[2] = {{task.Socket, POLLIN | POLLPRI, 0},
                         {task.PeerSocket, POLLIN | POLLPRI, 0}};
    while (task.running()) {
        const int count = poll(watched, 2, limits::kPollMillis);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || ((watched[0].revents | watched[1].revents) & POLLNVAL) != 0) {
            return;
        }
        if (count == 0) {
            continue; // an idle connection stays open for as long as both peers keep it
        }
        if (!task.running()) {
            return;
        }
        // Client to server first, then server to client, within one pass.
        if ((watched[0].revents & kReadable) != 0 &&
            !passPiece(task, task.Socket, task.PeerSocket, buffer, "Client Read Error",
                       "Server Write Error")) {
            return;
        }
        if ((watched[1].revents & kReadable) != 0 &&
            !passPiece(task, task.PeerSocket, task.Socket, buffer, "Server Read Error",
                       "Client Write Error")) {
            return;
        }
        // Urgent data is the exception that ends the relay, without a trace.
        if (((watched[0].revents | watched[1].revents) & POLLPRI) != 0) {
            task.stop();
            return;
        }
    }
}
