// The one diagnostic channel of the process: its settings, its lazily opened output and the
// writers that every thread calls.
#include "Limits.h"
#include "diag/DebugOutputs.h"
#include "diag/Proginit.h"
#include "diag/SerialPort.h"

#include <algorithm>
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
    std::size_t fileBytes = 0; // written to the log file since it was opened
};

// Room for a formatted text, CR LF and the terminating 0 byte.
constexpr std::size_t kLineRoom = limits::kTraceChars + 3;
// Room for a line whose every character was a control byte, written as four.
constexpr std::size_t kEscapedRoom = 4 * limits::kTraceChars + 3;

// Lines of DebugLogEarly waiting for a set-up channel.
struct EarlyLines {
    char text[limits::kEarlyTraceLines][kLineRoom];
    std::size_t length[limits::kEarlyTraceLines];
    std::size_t count = 0;
};

// The output chosen by the last set-up; read and changed with the lock held (the tracing calls
// look at g_active instead).
std::atomic<int> g_mode{DebugOff};
// Non-zero while lines go anywhere: the mode is not off, or a tap is installed. The one value
// every trace call reads first, so tracing costs nothing while both are off.
std::atomic<int> g_active{0};
DebugTap g_tap = nullptr; // changed and called with g_lock held
void* g_tapContext = nullptr;

void UpdateActiveLocked() {
    g_active.store(g_mode.load(std::memory_order_relaxed) != DebugOff || g_tap != nullptr ? 1 : 0,
                   std::memory_order_release);
}
// One lock around set-up, open and write: lines of different threads never interleave, and an
// open retried by two threads at once happens once.
std::mutex g_lock;
// Plain globals without destructors: threads that still trace while the process exits must not
// find them torn down.
ChannelSettings g_settings;
ChannelOutput g_output;
EarlyLines g_early;

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

// The log file is renamed to "<name>.1" (replacing an older one) once it holds the most it may,
// and a new one starts; lines are never split between the two. If the rename fails the file
// starts over empty, so the log stays bounded either way.
void RotateLogLocked() {
    close(g_output.fd);
    char previous[kPathMax + 2];
    std::snprintf(previous, sizeof previous, "%s.1", g_settings.fileName);
    (void)std::rename(g_settings.fileName, previous);
    g_output.fd = diag::OpenLogFile(g_settings.fileName);
    g_output.fileBytes = 0;
    g_output.opened = g_output.fd >= 0; // else the next line tries the open again
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
        g_output.fileBytes += length;
        if (g_output.fileBytes >= limits::kTraceFileMax) {
            RotateLogLocked();
        }
        break;
    case DebugDebugger:
        diag::WriteStandardError(line, length);
        break;
    default:
        break;
    }
}

bool IsControl(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

// Bytes from peers reach the trace: control bytes (an escape sequence aimed at the terminal that
// shows the log, a CR that hides a line) are written as "\x1b" and the like; the tab stays. The
// line end, LF or CR LF at the very end, stays as it is; so does every other byte. Gives the
// escaped length in `out` (room kEscapedRoom), or 0 when nothing needs escaping.
std::size_t EscapeControls(const char* line, std::size_t length, char* out) {
    std::size_t end = length;
    if (end > 0 && line[end - 1] == '\n') {
        --end;
        if (end > 0 && line[end - 1] == '\r') {
            --end;
        }
    }
    if (std::none_of(line, line + end,
                     [](char c) { return IsControl(static_cast<unsigned char>(c)); })) {
        return 0;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t n = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (IsControl(c)) {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = kHex[c >> 4];
            out[n++] = kHex[c & 0xF];
        } else {
            out[n++] = line[i];
        }
    }
    std::memcpy(out + n, line + end, length - end);
    return n + length - end;
}

void WriteEscapedLocked(int mode, const char* line, std::size_t length) {
    char escaped[kEscapedRoom];
    const std::size_t escapedLength = EscapeControls(line, length, escaped);
    if (escapedLength > 0) {
        WriteOutputLocked(mode, escaped, escapedLength);
    } else if (length > 0) {
        WriteOutputLocked(mode, line, length);
    }
}

// The line, escaped and without its line end, to the tap.
void TapLocked(const char* line, std::size_t length) {
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        --length;
    }
    char escaped[kEscapedRoom];
    const std::size_t escapedLength = EscapeControls(line, length, escaped);
    if (escapedLength > 0) {
        g_tap(g_tapContext, escaped, escapedLength);
    } else {
        g_tap(g_tapContext, line, length);
    }
}

void EmitLineLocked(const char* line, std::size_t length) {
    if (g_tap != nullptr) {
        TapLocked(line, length);
    }
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
    WriteEscapedLocked(mode, line, length);
    for (std::size_t k = 0; k < g_early.count && g_output.opened; ++k) {
        WriteEscapedLocked(mode, g_early.text[k], g_early.length[k]);
    }
    g_early.count = 0;
}

void EmitLine(const char* line, std::size_t length) {
    std::lock_guard lock(g_lock);
    EmitLineLocked(line, length);
}

// Formats into `line` (room kLineRoom): at most kTraceChars characters, then CR LF when asked.
// Gives the length, or -1 for a format the C library refuses (no line at all).
long FormatLine(char* line, bool lineEnd, const char* format, va_list arguments) {
    const int formatted = std::vsnprintf(line, limits::kTraceChars + 1, format, arguments);
    if (formatted < 0) {
        return -1;
    }
    std::size_t length = std::min(static_cast<std::size_t>(formatted), limits::kTraceChars);
    if (lineEnd) {
        line[length++] = '\r';
        line[length++] = '\n';
    }
    return static_cast<long>(length);
}

void FormatAndEmit(bool lineEnd, const char* format, va_list arguments) {
    char line[kLineRoom]; // on the caller's stack
    const long length = FormatLine(line, lineEnd, format, arguments);
    if (length >= 0) {
        EmitLine(line, static_cast<std::size_t>(length));
    }
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
    UpdateActiveLocked();
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
    if (g_active.load(std::memory_order_acquire) == 0) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    FormatAndEmit(true, format, arguments);
    va_end(arguments);
}

void DebugLogEarly(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char line[kLineRoom];
    const long length = FormatLine(line, true, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return;
    }
    std::lock_guard lock(g_lock);
    if (g_mode.load(std::memory_order_relaxed) != DebugOff) {
        EmitLineLocked(line, static_cast<std::size_t>(length));
    } else if (g_early.count < limits::kEarlyTraceLines) {
        std::memcpy(g_early.text[g_early.count], line, static_cast<std::size_t>(length));
        g_early.length[g_early.count++] = static_cast<std::size_t>(length);
    }
}

void DebugLogRaw(const char* format, ...) {
    if (g_active.load(std::memory_order_acquire) == 0) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    FormatAndEmit(false, format, arguments);
    va_end(arguments);
}

bool DebugEnabled() {
    return g_active.load(std::memory_order_acquire) != 0;
}

void DebugSetTap(DebugTap tap, void* context) {
    std::lock_guard lock(g_lock);
    g_tap = tap;
    g_tapContext = context;
    UpdateActiveLocked();
}

void DebugResetForTest() {
    std::lock_guard lock(g_lock);
    CloseOutputLocked();
    g_settings = ChannelSettings{};
    g_early.count = 0;
    g_tap = nullptr;
    g_tapContext = nullptr;
    g_mode.store(DebugOff, std::memory_order_release);
    UpdateActiveLocked();
}
