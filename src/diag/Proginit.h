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
// instance (a connection to the instance's local socket) and answers true. Called from the main
// thread before any other thread exists.
#pragma once

#include <cstddef>
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

// Every DebugSetup records the mode and its parameters and opens nothing; the output opens with the
// next line. A set-up closes whatever output an earlier set-up had opened. An unknown mode (below
// 0 or above 4) means off. An overload whose parameters belong to another mode than the one given
// ignores them, and a mode set without its parameters keeps those recorded last (at first: serial
// "/dev/ttyS0" at 9600, UDP "localhost" port 3000, file "debugw.log"). A null or over-long name
// (a device or file path of 4096 bytes or more, a host of 256 or more) leaves the channel off
// rather than writing somewhere the caller did not name. Any thread; never fails.

// Mode off, debugger, or any unknown mode (which means off).
void DebugSetup(int mode);
// Serial mode: device path (e.g. "/dev/ttyS0") and baud code (1 2400, 2 4800, 4 19200,
// 5 38400, anything else 9600). A Windows-style name "COMn" (any case, n from 1) stands for
// "/dev/ttyS<n-1>", so "COM1" is "/dev/ttyS0".
void DebugSetup(int mode, const char* portName, int baudCode);
// UDP mode: port (its low 16 bits) and host (dotted IPv4 address, used as it is, or host name,
// looked up at open).
void DebugSetup(int mode, int port, const char* host);
// File mode: file name; a relative name resolves against the working directory at open. The file
// is created or emptied with the first line, mode 0600; a symbolic link, a FIFO or a file of
// another user there is not opened (lines are dropped and later lines try again). Once it holds
// 10 MiB it is renamed to "<name>.1", replacing an older one, and a new file starts.
void DebugSetup(int mode, const char* fileName);
// The set-up that the settings value DebugWrite selects (at start-up, and when the log window
// changes it): 1 UDP to the diagnostics receiver, 2 the log file, 3 standard error; any other
// value switches the channel off. Lines kept by DebugLogEarly stay kept.
void DebugSetupFromSetting(int debugWrite);

// Every output gets a line's control bytes (but the tab) written as "\x1b" and the like, since
// texts from peers reach the trace; the line end (the CR LF that DebugLog adds, or the LF or
// CR LF at the very end of a DebugLogRaw text) and all other bytes stay as they are.

// printf-style trace line; at most 1000 formatted characters, then CR LF.
void DebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same without the CR LF.
void DebugLogRaw(const char* format, ...) __attribute__((format(printf, 1, 2)));
// For lines that may come before start-up has set the channel up (the settings file is read
// first): DebugLog while the channel is on. While it is off, the first four such lines are kept
// and written right after the next line of a set-up channel, so "Start:" still comes first.
void DebugLogEarly(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True while lines go anywhere: a mode other than off, or a tap (cheap; lets callers skip
// building trace arguments).
bool DebugEnabled();

// A second reader of the trace lines, for a log window: while installed it gets every line,
// escaped and without its line end, whatever the mode (also while it is off). It runs on the
// tracing thread with the channel's lock held: it must be quick and must not trace. nullptr
// removes it; with no tap and the mode off, tracing costs one atomic load per call.
using DebugTap = void (*)(void* context, const char* line, std::size_t length);
void DebugSetTap(DebugTap tap, void* context);

// Returns the channel to its state at process start (off, closed). For tests only.
void DebugResetForTest();

// Single-instance guard ---------------------------------------------------------------------

// Per-user paths: the lock file and the local socket of the running instance's main window, named
// "vellomir-<uid>.lock" and "vellomir-<uid>.sock". They live in $VELLOMIR_RUNTIME_DIR when that is
// set and not empty (tests use it to keep their instances apart), else in $XDG_RUNTIME_DIR when it
// names a directory of the user's own that nobody else may enter, else in the private directory
// "vellomir-<uid>" (made mode 0700 when missing) in $TMPDIR when it names a directory, else in
// /tmp. A directory of that name that is a link, belongs to someone else or lets others in is not
// used: both paths are then "" and the program runs without the guard. The UI listens on
// InstanceSocketPath() with QLocalServer::listen(fullPath) from MarkInstanceWindow to
// UnmarkInstanceWindow.
std::string InstanceLockPath();
std::string InstanceSocketPath();

// True when another instance holds the lock (it has then been woken); false otherwise, also when
// the lock cannot be taken for another reason (the program then starts normally). The lock file is
// opened without following a symbolic link and counts only when it is a regular file of the user's
// own; its descriptor stays open (not inherited across exec) until the process ends. A second
// call in the process that holds the lock answers false.
bool IsAlreadyRunning();
// Connects to the running instance's socket and sends the one byte "w"; does nothing when no
// instance listens there or the socket is not the user's own. Waits at most about one second for a
// busy listener, so a hung first instance cannot hang the second start.
void WakeRunningInstance();
