// Fixed sizes and periods of the engine, in one place.
#pragma once

#include <cstddef>

namespace limits {

// Line buffer of a session: every line read from either peer and every line built for sending.
inline constexpr std::size_t kLineBuffer = 2048;
// An AUTH line may be longer than the line buffer: an XOAUTH2 access token alone takes 1.5 to
// 2.5 KB. RFC 4954 lets a server take AUTH lines of up to 12,288 bytes.
inline constexpr std::size_t kAuthLineMax = 12288;
// Events the engine keeps for the desktop program when it does not read them (EngineEvents).
inline constexpr std::size_t kQueuedEvents = 1024;
// One relay transfer: the most a single recv may take. Far above the line buffer, so a large
// message needs few system calls; but below the loopback segment size (64 KiB), because
// forwarding whole 64 KiB pieces to a peer that reads in small steps stalls on its receive
// window and halved the rate of 1 MB mails. The bytes pass unchanged whatever the piece size.
// A relayed session holds such a block only while a destination cannot take what was read, at
// most one per direction, so idle sessions cost no buffer at all.
inline constexpr std::size_t kRelayBuffer = 32 * 1024;
// Blocks a relay loop keeps for reuse instead of freeing them: reading needs one at a time, and
// sessions under back-pressure give theirs back in bursts.
inline constexpr std::size_t kRelaySpareBlocks = 4;
// Pieces one direction of a session may pass before the loop serves the other sessions: a bulk
// transfer must not hold up the replies of small mails for long (8 x 32 KiB).
inline constexpr int kRelayPiecesPerTurn = 8;
// Readiness reports a relay loop takes per wait.
inline constexpr int kRelayLoopEvents = 64;
// A relay loop whose last session ended keeps its thread this long for the next one (a mail
// client sends its mails one connection after another), then lets it end, so that an idle
// proxy holds no thread for relays. Well below the time tests and benchmarks give the threads
// and descriptors of a burst to go.
inline constexpr int kRelayLoopLingerMillis = 250;
// Wait period of the poll loops of the listener and the line reader, milliseconds; the relay
// loop also waits this long after a failed wait instead of spinning.
inline constexpr int kPollMillis = 100;
// serverStop polls the listener-alive signal in these steps, milliseconds.
inline constexpr int kStopPollMillis = 10;

// Deadlines of a session's upstream side, milliseconds. Without them a blocking connect waits
// the kernel's two minutes on a silent address, and a server that never answers holds the
// session for as long as the mail client stays.
inline constexpr int kConnectMillis = 30 * 1000;
inline constexpr int kHandshakeMillis = 30 * 1000;
inline constexpr int kReplyMillis = 60 * 1000; // each upstream reply before the relay
// A mail client that sends nothing for this long before the hand-over is closed ("421 Timeout");
// RFC 5321 asks servers to wait at least 5 minutes for a command.
inline constexpr int kClientIdleMillis = 5 * 60 * 1000;

// After the reply that ends a dialogue, what the mail client still sends is read and dropped for
// at most this long and this many bytes before the socket closes: closing with its pipelined
// bytes unread would make the kernel send a reset, and the client might never see the reply.
inline constexpr int kDrainMillis = 2000;
inline constexpr std::size_t kDrainBytes = 64 * 1024;
// Concurrent sessions, relayed ones included; the next mail client gets "421 Too many
// connections". Each session is a thread until its hand-over and two descriptors until its end,
// and a local user holding idle connections must not use up the desktop user's process limits.
// Above the 1,000 idle sessions the memory benchmark holds.
inline constexpr int kMaxSessions = 1024;
// TCP keepalive on both sockets of a relay: a peer that vanished without a word (a laptop that
// went to sleep, a NAT that forgot the connection) is noticed after about 10 minutes.
inline constexpr int kKeepAliveIdleSeconds = 300;
inline constexpr int kKeepAliveIntervalSeconds = 60;
inline constexpr int kKeepAliveProbes = 5;

// Browser sign-in (desktop program): how long the loopback listener waits for the browser's
// redirect (the user may have to type a password and approve a second factor), and the most
// bytes of one request taken on it (a browser's GET with its headers is far smaller).
inline constexpr int kSignInMillis = 5 * 60 * 1000;
inline constexpr int kRedirectRequestMax = 16 * 1024;

// Each call to the desktop keyring waits at most this long, an unlock prompt included: a prompt
// the user leaves open must not hold the program for good.
inline constexpr int kKeyringWaitMillis = 2 * 60 * 1000;

// A value read from the settings file is cut to this many bytes.
inline constexpr std::size_t kProfileValueMax = 299;
// OAuth values (refresh tokens are often 1-2 KB) are read up to this many bytes instead.
inline constexpr std::size_t kOAuthValueMax = 8192;
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

// Desktop program ----------------------------------------------------------------------------

// At most one failure notification per entry in this period: a mail client that retries every
// few seconds must not flood the desktop, and a minute is soon enough to hear of a new cause.
inline constexpr int kNotifyPeriodSeconds = 60;
// Trace lines the log window keeps (and its tap buffers between two drains): a few sessions'
// worth, while the window stays light to scroll and its memory small under load.
inline constexpr std::size_t kLogWindowLines = 3000;
// The log window takes the tapped lines in this period: live to the eye, without a repaint per
// line when sessions trace fast.
inline constexpr int kLogDrainMillis = 200;
// A failure line in the tray icon's tooltip is cut to this many characters: a server's reply
// line may be 2 KB, and a tooltip wider than the screen shows nothing useful.
inline constexpr int kTooltipFailureChars = 80;

} // namespace limits
