// The SMTP proxy engine: the listener, one session thread per mail client, the line I/O on the
// client's and the upstream server's sockets, the upstream login and the relay.
//
// Threads: serverOpen, serverStart, serverStop and serverIsRunning are called by one controlling
// thread (the user interface, or a test). The listener runs on its own thread, the main task.
// Every accepted client is served by a detached thread, a sub task, that owns its SocketTask
// record and both of its sockets; the socket, line and login operations below run on that thread
// only, on that task's own sockets. At the hand-over the sub task gives the record and its
// sockets to the relay loop (RelayLoop.h) and its thread ends; the loop frees them when the
// relay ends.
//
// Failure is reported by results, never by exceptions: -1 for a socket or an operation that
// failed, false for an entry point that failed. A sub task has one failure signal, its running
// flag: every operation that fails clears it, and every loop of the sub task tests it. Why the
// upstream part failed is recorded beside it (SocketTask::fail) for the reply and the user.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/Proxydata.h"
#include "server/EngineEvents.h"
#include "server/OAuthTokens.h"
#include "server/RelayLoop.h"
#include "server/Tls.h"

// Entry points ------------------------------------------------------------------------------

// Opens the listening socket on `address` (dotted IPv4, IPv6 literal or host name) and `port`
// (1..65535); with "127.0.0.1" or "localhost" also on ::1 where the machine allows it. Gives
// false (errno telling why, where the system said) when the address does not resolve, the port
// is out of range or cannot be bound.
// A listener that still runs is stopped first; a socket opened but never started is closed.
bool serverOpen(const char* address, std::int32_t port);
// Starts the main task (the accept loop) on the opened socket. Does nothing when no listening
// socket is open or the main task already runs. If its thread cannot be made, the listening
// socket is closed, so a later open of the same port can succeed.
void serverStart();
// Stops the main task and returns once it has ended (at once when none runs). Sessions that
// were accepted before go on to their natural end.
void serverStop();
// True while the main task's thread is alive.
bool serverIsRunning();

// Raises the soft limit on open descriptors to the hard limit (each session holds two
// sockets). serverOpen calls it once per process; calling it again is harmless.
void raiseDescriptorLimit();

// Number of sessions that have not yet ended, relayed ones included (for the session cap, tests
// and diagnostics: no one waits for sub tasks).
int activeSubTasks();

// Deadlines of the upstream side, in milliseconds. A session that runs out of time ends like one
// whose upstream failed. Defaults from Limits.h; tests shorten them.
struct EngineDeadlines {
    int connectMillis;
    int handshakeMillis;
    int replyMillis;      // each upstream reply before the relay
    int clientIdleMillis; // a mail client that sends nothing before the hand-over
};
EngineDeadlines engineDeadlines();
void setEngineDeadlines(const EngineDeadlines& deadlines);

// Services that sessions share, owned by the engine for the life of the process and handed to
// every session it starts.
struct EngineServices {
    TlsContexts tls;
    EngineEvents events;
    OAuthTokens tokens{events};
    RelayLoop relays;
};
EngineServices& engineServices();

// Records ---------------------------------------------------------------------------------

// Why the upstream part of a session failed; chooses the reply the mail client gets.
enum class UpstreamFailure {
    None,
    Unreachable, // connecting failed, or the server's first lines could not be read
    Insecure,    // TLS could not be set up, or the server's certificate was not accepted
    Temporary,   // the login was refused with 4xx, or its reply did not come (in time)
    Permanent,   // the login was refused with 5xx or another unexpected reply
};

// The record of one socket worker thread. The main task has one static record; each sub task
// has one on the heap, made by startSubTask and destroyed by endSubTask: on the sub task's thread,
// or on the relay loop once a relayed session ends.
struct SocketTask {
    int Socket = -1;     // main task: the listening socket; sub task: the mail client's socket
    int PeerSocket = -1; // sub task: the upstream server's socket, -1 until connected
    // Listener-alive signal ("the thread handle is set"): set before the thread starts, cleared
    // by the thread as its very last act on shared state (release), polled by serverStop
    // (acquire), so the listening socket is closed before a new open may bind the port.
    std::atomic<bool> ThreadAlive{false};
    std::uint32_t ThreadId = 0; // the thread's system id; traces print it in hexadecimal
    // Run flag: stored true (release) before the thread starts, so the thread's first read
    // (acquire) sees it; cleared by whoever stops the task.
    std::atomic<bool> Running{true};
    // Sub task: TLS over PeerSocket once the entry's security is set up; the upstream's bytes
    // then go through it (PeerStream.cpp).
    std::unique_ptr<TlsLink> PeerTls;
    // Sub task: the services of the engine that started it; null for a task made by hand.
    EngineServices* Services = nullptr;
    // Sub task: why its upstream part failed, and the server's reply line or the error text.
    UpstreamFailure Failure = UpstreamFailure::None;
    std::string FailureText;
    // Sub task: the mail client sent no line within the idle deadline.
    bool ClientTimedOut = false;
    // Connection test only: every line exchanged with the upstream as the user may see it
    // (credentials as "***"); empty in sessions.
    std::function<void(bool sent, const std::string& line)> Transcript;
    // Set by the login before it sends a credential, so that the transcript masks it.
    bool MaskNextSend = false;

    bool running() const { return Running.load(std::memory_order_acquire); }
    void stop() { Running.store(false, std::memory_order_release); }
    // Records the first reason only: later failures are consequences of it.
    void fail(UpstreamFailure why, std::string text) {
        if (Failure == UpstreamFailure::None) {
            Failure = why;
            FailureText = std::move(text);
        }
        stop();
    }
};

// The fixed replies with which the proxy ends a mail client's dialogue.
enum ErrorReply : int {
    ErrorServiceNotAvailable = 0, // "550 Service not available"
    ErrorDomainName = 1,          // "550 domain name error"
    // "421 Can not be connected to SMTP server": the upstream could not be reached or secured;
    // temporary, so a mail client or MTA retries instead of bouncing the mail.
    ErrorCannotConnect = 2,
    // "421 Service not available": the login was refused with 4xx or its reply did not come.
    ErrorServiceTemporarily = 3,
};

// The class of a mail client's line before the hand-over.
enum CommandKind : int {
    CommandFailed = -1,
    CommandHelo = 0,
    CommandEhlo = 1,
    CommandMailFrom = 2,
    CommandRset = 3,
    CommandOther = 10,
};

// Sockets (Sockets.cpp, Listener.cpp) ---------------------------------------------------------

// IPv4 address in network order of a dotted address or a host name; kNoAddress when neither.
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;
std::uint32_t resolveAddress(const char* host);
// 0 when the socket is readable, 1 when `millis` ran out, -1 when waiting failed.
int waitReadable(int socket, int millis);
// Bound listening socket (backlog SOMAXCONN) on an IPv4 address or name, or an IPv6 literal;
// or -1 with errno from the failed step.
int openListenSocket(const char* host, std::int32_t port);
// Socket connected to the upstream server (TCP_NODELAY and keepalive set, blocking), or -1
// after the traces, with `failure` (when given) telling why in words for the user. Tries every
// address of the name, IPv4 or IPv6, in turn, all within the connect deadline.
int connectServer(const char* host, std::int32_t port, std::string* failure = nullptr);
// Sends all `length` bytes; gives `length`, or -1 when the peer is gone.
long sendAll(int socket, const char* bytes, std::size_t length);
// Turns off the send delay that would hold back short pieces until the peer's ACK.
void setNoDelay(int socket);
// TCP keepalive (Limits.h periods): a relay's peer that vanished without a word is noticed.
void setKeepAlive(int socket);

// Lines (LineIo.cpp) --------------------------------------------------------------------------

// Sends `text`; a final LF leaves as CR LF (a second send). Traced as "send:%s" when `trace`.
void sendLine(int socket, const char* text, bool trace);
// Sends the fixed reply `index` (anything outside 0..3 gives "500 error"), CR LF ended.
void sendError(int socket, int index);
// The bytes sendError sends for `index`.
const char* errorReplyText(int index);
// Reads one line from `socket` (the task's client or server socket) into `buffer`, without CR
// and LF, never taking a byte past the LF. Gives 0, or -1 when the task has stopped (the peer
// closed, waiting failed, the line did not fit in `size` - 1 bytes, or a server line did not
// come within the reply deadline).
int getLine(SocketTask& task, int socket, char* buffer, std::size_t size);

// Upstream stream (PeerStream.cpp): the task's upstream socket, through TLS once it is set up --

// peerReceive's result when nothing can be read without waiting for peerWaitEvents.
inline constexpr long kNothingYet = -2;
// Reads (with `peek`: looks at) what the upstream sent: a count > 0, 0 when it closed, -1 when
// reading failed, or kNothingYet.
long peerReceive(SocketTask& task, char* into, std::size_t length, bool peek);
// The poll events after which peerReceive can make progress (TLS may need to write first).
short peerWaitEvents(const SocketTask& task);
// True while bytes wait inside the TLS layer, where polling the socket would not show them.
bool peerHasBuffered(const SocketTask& task);
// Sends all bytes upstream; waits while the socket is full until the task stops or
// `deadlineMillis` runs out (negative: no deadline). Gives `length`, or -1.
long peerSend(SocketTask& task, const char* bytes, std::size_t length, int deadlineMillis);
// sendLine towards the upstream server: a final LF leaves as CR LF, in one piece.
void sendServerLine(SocketTask& task, const char* text, bool trace);
// Ends the upstream side: close_notify over TLS, then the socket is closed.
void closePeer(SocketTask& task);

// Connection test (ConnectionTest.cpp) ---------------------------------------------------------

struct ConnectionTestResult {
    bool ok = false;
    std::string summary; // what happened, in words for the user; no credential
};
// Runs the upstream part of a session for `entry` exactly as a session would (connect, TLS or
// STARTTLS, greeting, EHLO, login), then QUIT, on the calling thread, within the session
// deadlines. `transcript` gets every line sent (credentials as "***") and received. Setting
// `cancel` ends it at the next wait period of a line. Nothing is saved or traced as a secret.
ConnectionTestResult
testUpstream(const ProxyData& entry, const std::atomic<bool>& cancel,
             std::function<void(bool sent, const std::string& line)> transcript);

// Upstream security (StartTls.cpp) -------------------------------------------------------------

// Sets up the entry's security on the connected upstream socket: nothing for SecurityNone, the
// handshake for SecurityTls, and for SecurityStartTls the greeting, EHLO `word`, STARTTLS and the
// handshake. `greetingRead` tells whether the server's greeting has been taken (after STARTTLS
// the dialogue goes on as if it had just been read). Gives 0, or -1 with the task stopped and
// its failure recorded; nothing but the exchange itself has then been sent upstream.
int secureUpstream(const ProxyData& entry, SocketTask& task, char* line, std::size_t size,
                   const char* word, bool& greetingRead);

// Text helpers (TextMatch.cpp); letters compare without regard to case ------------------------

// The first three bytes as a number, without checking that they are digits.
int replyCode(const char* line);
// True when `line` begins with `word`.
bool isCommand(const char* line, const char* word);
// Where `word` first occurs in `text`, or nullptr; an empty word is never found.
const char* findText(const char* text, const char* word);
// True when the line, less its trailing blanks and control bytes, ends in `domain`.
bool matchTail(const char* line, const char* domain);
// The word after the first space of `line` into `output` (capacity bytes, NUL-ended).
void firstWord(const char* line, char* output, std::size_t capacity);

// Session (Session.cpp) -----------------------------------------------------------------------

// Starts a sub task on an accepted client socket; on failure closes the socket, gives false.
bool startSubTask(int socket);
// The sub task's thread body: serves the client up to the hand-over, which gives `task` to the
// relay loop; otherwise ends the session itself.
void subTaskMain(SocketTask* task);
// The end of a session: traces "sub task end", closes the upstream (close_notify over TLS) and
// the mail client's socket (after its last reply, unless the session was relayed), destroys
// `task` and stops counting it. Called by the sub task, or by the relay loop for a relay.
void endSubTask(SocketTask* task, bool relayed);
// Called by the main task after each idle period: once the sessions of a burst have all ended,
// gives their heap memory back to the system.
void releaseIdleMemory();
// Makes every thread of the process allocate from one heap arena; called once, before the
// first session.
void shareOneHeapArena();
// Reads one client line and classifies it.
int getCommand(SocketTask& task, char* buffer, std::size_t size);
// Mode 0 (EHLO line): the first entry whose Domain ends the line. Mode 1 (MAIL FROM line): the
// first entry whose Domain occurs after the line's first colon. Gives 0 with `entry` filled,
// or -1.
int findEntry(ProxyData& entry, const char* line, int mode);

// Upstream login (UpstreamAuth.cpp) -----------------------------------------------------------

// Greets the upstream server with EHLO and logs in with the entry's method. `line` holds the
// client's greeting line on entry. With `greetingRead` the server's greeting has already been
// taken (STARTTLS) and EHLO goes out at once. Gives 0 when logged in, -1 when the task has
// stopped, its failure recorded.
int authServer(const ProxyData& entry, SocketTask& task, char* line, std::size_t size,
               bool greetingRead = false);
// Reads the rest of a multi-line reply whose first line is in `line`; leaves its last line
// there. With `method` given, chooses the login method from the reply's AUTH line.
int skipContinuation(SocketTask& task, int serverSocket, char* line, std::size_t size,
                     std::int32_t* method);
