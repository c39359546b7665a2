// The single-instance guard: a per-user file lock held for the life of the process, and the
// wake-up connection to the running instance's local socket.
#include "diag/Proginit.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The descriptor that holds the lock; never closed, so the lock ends with the process.
int g_lockFd = -1;

constexpr int kWakeTries = 20;
constexpr int kWakeRetryMillis = 50;

// A connected, non-blocking stream socket to the path, or -1.
int ConnectLocal(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return -1; // no listener can be bound to such a path either
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // A full backlog answers EAGAIN at once instead of blocking: retry for a bounded time.
    for (int attempt = 0; attempt < kWakeTries; ++attempt) {
        const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (sock < 0) {
            return -1;
        }
        int result;
        do {
            result = connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (result != 0 && errno == EINTR);
        if (result == 0) {
            return sock;
        }
        const int error = errno;
        close(sock);
        if (error != EAGAIN) {
            return -1; // nothing listens there (no socket file, or a stale one)
        }
        poll(nullptr, 0, kWakeRetryMillis);
    }
    return -1;
}

} // namespace

bool IsAlreadyRunning() {
    if (g_lockFd >= 0) {
        return false; // this process is the instance
    }
    const std::string path = InstanceLockPath();
    if (path.empty()) {
        return false; // no private place for the lock: run as the only instance
    }
    // No symbolic link followed, and only a lock file of the user's own counts: one that another
    // user made (and holds) must not keep the program from starting.
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        return false;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0) {
        g_lockFd = fd;
        return false;
    }
    const int error = errno;
    close(fd);
    if (error != EWOULDBLOCK) {
        return false; // the lock cannot be had at all: run as the only instance
    }
    WakeRunningInstance();
    return true;
}

void WakeRunningInstance() {
    // Only a socket of the user's own is woken: nothing is sent to another user's listener.
    const std::string path = InstanceSocketPath();
    struct stat info {};
    if (path.empty() || lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) ||
        info.st_uid != geteuid()) {
        return;
    }
    const int sock = ConnectLocal(path);
    if (sock < 0) {
        return;
    }
    // A fresh connection's buffer always takes one byte; the result decides nothing.
    ssize_t sent;
    do {
        sent = send(sock, "w", 1, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    close(sock);
}
