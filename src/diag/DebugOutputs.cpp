#include "diag/DebugOutputs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace diag {

int OpenLogFile(const char* fileName) {
    // Not through a link, not into a FIFO (O_NONBLOCK: no wait for a reader), and only a file of
    // the user's own: a log that another user planted must be neither emptied nor written.
    int fd;
    do {
        fd = open(fileName, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                  0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        ftruncate(fd, 0) != 0 || fchmod(fd, 0600) != 0 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenUdpOutput(const char* host, std::uint16_t port, sockaddr_in& destination) {
    destination = sockaddr_in{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &destination.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
            return -1;
        }
        destination.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }

    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

void WriteLine(int fd, const char* data, std::size_t length) {
    ssize_t result;
    do {
        result = write(fd, data, length);
    } while (result < 0 && errno == EINTR);
}

void SendDatagram(int socket, const sockaddr_in& destination, const char* data,
                  std::size_t length) {
    ssize_t result;
    do {
        result = sendto(socket, data, length, MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    } while (result < 0 && errno == EINTR);
}

void WriteStandardError(const char* data, std::size_t length) {
    // Block SIGPIPE for this thread during the write and take back the one the write raised,
    // unless one was already pending for other reasons.
    sigset_t pipeOnly;
    sigset_t previous;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    ssize_t result;
    do {
        result = write(STDERR_FILENO, data, length);
    } while (result < 0 && errno == EINTR);

    if (result < 0 && errno == EPIPE && !alreadyPending) {
        const timespec noWait{};
        int taken;
        do {
            taken = sigtimedwait(&pipeOnly, nullptr, &noWait);
        } while (taken < 0 && errno == EINTR);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace diag
