#include "diag/SerialPort.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace diag {
namespace {

speed_t SpeedCode(unsigned baudRate) {
    switch (baudRate) {
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    default:
        return B9600;
    }
}

// "COM" followed by a decimal number from 1 (any case), or -1.
long ComPortNumber(const char* name) {
    if (strncasecmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') {
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(name + 3, &end, 10);
    if (*end != '\0' || errno != 0 || number > 4096) {
        return -1;
    }
    return number;
}

} // namespace

unsigned SerialBaudRate(int baudCode) {
    switch (baudCode) {
    case 1:
        return 2400;
    case 2:
        return 4800;
    case 4:
        return 19200;
    case 5:
        return 38400;
    default:
        return 9600;
    }
}

bool SerialDevicePath(const char* portName, char* out, std::size_t outSize) {
    const long com = ComPortNumber(portName);
    const int written = com > 0 ? std::snprintf(out, outSize, "/dev/ttyS%ld", com - 1)
                                : std::snprintf(out, outSize, "%s", portName);
    return written >= 0 && static_cast<std::size_t>(written) < outSize;
}

int OpenSerialPort(const char* devicePath, unsigned baudRate) {
    // Non-blocking, so that neither a missing carrier at open nor flow control at write can hold
    // the calling thread beyond the write time limit.
    int fd;
    do {
        fd = open(devicePath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    // Exclusive use, as far as the system grants it; not needed for writing.
    (void)ioctl(fd, TIOCEXCL);

    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        close(fd);
        return -1;
    }
    (void)tcflush(fd, TCIOFLUSH);
    cfmakeraw(&settings);
    settings.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    // CLOCAL: the modem status lines other than CTS play no part, as with the port's defaults
    // elsewhere; CRTSCTS: output waits for CTS and RTS signals our input readiness.
    settings.c_cflag |= CS8 | CREAD | CLOCAL | CRTSCTS;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    const speed_t speed = SpeedCode(baudRate);
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        close(fd);
        return -1;
    }
    int line = TIOCM_DTR;
    (void)ioctl(fd, TIOCMBIS, &line);
    line = TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &line);
    return fd;
}

void WriteSerialPort(int fd, const char* data, std::size_t length, int timeoutMillis) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMillis);
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return;
        }
        pollfd waitFor{fd, POLLOUT, 0};
        const int ready = poll(&waitFor, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (waitFor.revents & POLLOUT) == 0) {
            return;
        }
    }
}

} // namespace diag
