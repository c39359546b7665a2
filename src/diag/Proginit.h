// Process services: the diagnostic output channel and the single-instance guard.
//
// Diagnostic channel: one per process. DebugSetup chooses where trace lines go (off, serial port,
// UDP datagrams, a log file, standard error); the channel opens itself on the first line and
// retries the open on later lines while it fails. DebugLog and DebugLogRaw may be called from any
// thread; each line reaches the output in one write, never interleaved with another thread's.
// They never report a failure, and while the channel is off they return before formatting.
//
// Single-instance guard: IsAlreadyRunning runs first thing in main. It holds an exclusive lock on
// a per-user lock file for the life of the process; when another process holds it, it wakes that
// instance (a connection to the instance's local socket) and answers true.
#pragma once

#include <string>

enum DebugMode {
    DebugOff = 0,
    DebugSerial = 1,
    DebugUdp = 2,
    DebugFile = 3,
    DebugDebugger = 4, // standard error here
};

// Host and port of the UDP diagnostics receiver that DebugWrite 1 selects.
inline constexpr const char* kDiagnosticHost = "localhost";
inline constexpr int kDiagnosticPort = 4000;
// Log file that DebugWrite 2 selects, in the working directory.
inline constexpr const char* kDiagnosticFile = "debugw.log";

// Mode off, debugger, or any unknown mode (which means off). Opens nothing.
void DebugSetup(int mode);
// Serial mode: device path (e.g. "/dev/ttyS0") and baud code (1 2400, 2 4800, 4 19200,
// 5 38400, anything else 9600).
void DebugSetup(int mode, const char* portName, int baudCode);
// UDP mode: port (its low 16 bits) and host (dotted IPv4 address or host name).
void DebugSetup(int mode, int port, const char* host);
// File mode: file name; a relative name resolves against the working directory at open.
void DebugSetup(int mode, const char* fileName);

// printf-style trace line; at most 1000 formatted characters, then CR LF.
void DebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same without the CR LF.
void DebugLogRaw(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True while a mode other than off is set (cheap; lets callers skip building trace arguments).
bool DebugEnabled();

// Returns the channel to its state at process start (off, closed). For tests only.
void DebugResetForTest();

// Single-instance guard ---------------------------------------------------------------------

// Per-user paths: the lock file and the local socket of the running instance's main window.
// In $XDG_RUNTIME_DIR, else the temporary directory, named with the user id.
std::string InstanceLockPath();
std::string InstanceSocketPath();

// True when another instance holds the lock (it has then been woken); false otherwise, also when
// the lock cannot be taken for another reason (the program then starts normally).
bool IsAlreadyRunning();
// Connects once to the running instance's socket; does nothing when no instance listens there.
void WakeRunningInstance();
