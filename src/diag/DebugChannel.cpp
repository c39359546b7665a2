// The one diagnostic channel of the process: its settings, its lazily opened output and the
// writers that every thread calls.
#include "Limits.h"
#include "diag/DebugOutputs.h"
#include "diag/Proginit.h"
#include "diag/SerialPort.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <unistd.h>

namespace {

constexpr std::size_t kPathMax = 4096;
constexpr std::size_t kHostMax = 256;

struct ChannelSettings {
    char serialDevice[kPathMax] = "/dev/ttyS0";
    unsigned baudRate = 9600;
    char host[kHostMax] = "localhost";
    std::uint16_t udpPort = 3000;
    char fileName[kPathMax] = "debugw.log";
};

struct ChannelOutput {
    bool opened = false;
    int fd = -1; // serial port, log file or UDP socket
    sockaddr_in destination{};
};

// Read before formatting, without the lock, so that tracing costs nothing while off. Changed only
// with the lock held.
std::atomic<int> g_mode{DebugOff};
// One lock around set-up, open and write: lines of different threads never interleave, and an
// open retried by two threads at once happens once.
std::mutex g_lock;
// Plain globals without destructors: threads that still trace while the process exits must not
// find them torn down.
ChannelSettings g_settings;
ChannelOutput g_output;

bool CopyName(char* destination, std::size_t capacity, const char* name) {
    if (name == nullptr || std::strlen(name) >= capacity) {
        return false;
    }
    std::memcpy(destination, name, std::strlen(name) + 1);
    return true;
}

void CloseOutputLocked() {
    if (g_output.fd >= 0) {
        close(g_output.fd);
    }
    g_output = ChannelOutput{};
}

bool OpenOutputLocked(int mode) {
    switch (mode) {
    case DebugSerial:
        g_output.fd = diag::OpenSerialPort(g_settings.serialDevice, g_settings.baudRate);
        break;
    case DebugUdp:
        g_output.fd =
            diag::OpenUdpOutput(g_settings.host, g_settings.udpPort, g_output.destination);
        break;
    case DebugFile:
        g_output.fd = diag::OpenLogFile(g_settings.fileName);
        break;
    case DebugDebugger:
        return true;
    default:
        return false;
    }
    return g_output.fd >= 0;
}

void WriteOutputLocked(int mode, const char* line, std::size_t length) {
    switch (mode) {
    case DebugSerial:
        diag::WriteSerialPort(g_output.fd, line, length, limits::kSerialWriteMillis);
        break;
    case DebugUdp:
        diag::SendDatagram(g_output.fd, g_output.destination, line, length);
        break;
    case DebugFile:
        diag::WriteLine(g_output.fd, line, length);
        break;
    case DebugDebugger:
        diag::WriteStandardError(line, length);
        break;
    default:
        break;
    }
}

void EmitLine(const char* line, std::size_t length) {
    std::lock_guard lock(g_lock);
    const int mode = g_mode.load(std::memory_order_relaxed);
    if (mode == DebugOff) {
        return; // switched off while the line was being formatted
    }
    if (!g_output.opened) {
        g_output.opened = OpenOutputLocked(mode);
        if (!g_output.opened) {
            CloseOutputLocked();
            return; // dropped; the next line tries the open again
        }
    }
    if (length > 0) {
        WriteOutputLocked(mode, line, length);
    }
}

void FormatAndEmit(bool lineEnd, const char* format, va_list arguments) {
    // Room for the longest text, CR LF and the terminating 0 byte, on the caller's stack.
    char line[limits::kTraceChars + 3];
    const int formatted = std::vsnprintf(line, limits::kTraceChars + 1, format, arguments);
    if (formatted < 0) {
        return; // a format the C library refuses gives no line at all
    }
    std::size_t length = static_cast<std::size_t>(formatted);
    if (length > limits::kTraceChars) {
        length = limits::kTraceChars;
    }
    if (lineEnd) {
        line[length++] = '\r';
        line[length++] = '\n';
    }
    EmitLine(line, length);
}

bool IsKnownMode(int mode) {
    return mode >= DebugOff && mode <= DebugDebugger;
}

// Records the mode after the recorder has taken its parameters; a recorder that fails (a name
// that does not fit) leaves the channel off.
template <typename Recorder> void Configure(int mode, Recorder recordParameters) {
    std::lock_guard lock(g_lock);
    CloseOutputLocked();
    if (!IsKnownMode(mode) || !recordParameters()) {
        mode = DebugOff;
    }
    g_mode.store(mode, std::memory_order_release);
}

} // namespace

void DebugSetup(int mode) {
    Configure(mode, [] { return true; });
}

void DebugSetup(int mode, const char* portName, int baudCode) {
    if (mode != DebugSerial) {
        DebugSetup(mode);
        return;
    }
    Configure(mode, [&] {
        char device[kPathMax];
        if (portName == nullptr || !diag::SerialDevicePath(portName, device, kPathMax)) {
            return false;
        }
        std::memcpy(g_settings.serialDevice, device, sizeof device);
        g_settings.baudRate = diag::SerialBaudRate(baudCode);
        return true;
    });
}

void DebugSetup(int mode, int port, const char* host) {
    if (mode != DebugUdp) {
        DebugSetup(mode);
        return;
    }
    Configure(mode, [&] {
        if (!CopyName(g_settings.host, kHostMax, host)) {
            return false;
        }
        g_settings.udpPort = static_cast<std::uint16_t>(port & 0xFFFF);
        return true;
    });
}

void DebugSetup(int mode, const char* fileName) {
    if (mode != DebugFile) {
        DebugSetup(mode);
        return;
    }
    Configure(mode, [&] { return CopyName(g_settings.fileName, kPathMax, fileName); });
}

void DebugLog(const char* format, ...) {
    if (g_mode.load(std::memory_order_acquire) == DebugOff) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    FormatAndEmit(true, format, arguments);
    va_end(arguments);
}

void DebugLogRaw(const char* format, ...) {
    if (g_mode.load(std::memory_order_acquire) == DebugOff) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    FormatAndEmit(false, format, arguments);
    va_end(arguments);
}

bool DebugEnabled() {
    return g_mode.load(std::memory_order_acquire) != DebugOff;
}

void DebugResetForTest() {
    std::lock_guard lock(g_lock);
    CloseOutputLocked();
    g_settings = ChannelSettings{};
    g_mode.store(DebugOff, std::memory_order_release);
}
