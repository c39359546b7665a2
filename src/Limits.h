// Fixed sizes and periods of the engine, in one place.
#pragma once

#include <cstddef>

namespace limits {

// Line buffer of a session: every line read from either peer and every line built for sending.
inline constexpr std::size_t kLineBuffer = 2048;
// One relay transfer: the most a single recv may take. Far above the line buffer, so a large
// message needs few system calls; but below the loopback segment size (64 KiB), because
// forwarding whole 64 KiB pieces to a peer that reads in small steps stalls on its receive
// window and halved the rate of 1 MB mails. The bytes pass unchanged whatever the piece size.
inline constexpr std::size_t kRelayBuffer = 32 * 1024;
// Wait period of every poll loop (listener, line reader, relay), milliseconds.
inline constexpr int kPollMillis = 100;
// serverStop polls the listener-alive signal in these steps, milliseconds.
inline constexpr int kStopPollMillis = 10;

// A value read from the settings file is cut to this many bytes.
inline constexpr std::size_t kProfileValueMax = 299;
// The Base64 text of a password must fit in one settings value, which bounds the password.
inline constexpr std::size_t kPasswordMax = 222;

// Symbolic links followed on the way to the settings file, as many as the kernel itself follows.
inline constexpr int kLinkHopsMax = 40;

// Diagnostic line: at most this many formatted characters, before CR LF.
inline constexpr std::size_t kTraceChars = 1000;
// Log file of the trace: past this size it is renamed to "<name>.1" and a new one starts, so a
// client that talks a lot cannot fill the disk (one client wrote 5 MB in 3 s); two files of this
// size still hold hours of ordinary use.
inline constexpr std::size_t kTraceFileMax = 10 * 1024 * 1024;
// Trace lines written before start-up sets the channel up (the settings are read first) that are
// kept until it is; a few settings problems, never a stream.
inline constexpr std::size_t kEarlyTraceLines = 4;
// Serial diagnostic output: a write that cannot finish in this time drops the rest of the line.
inline constexpr int kSerialWriteMillis = 2000;

} // namespace limits
