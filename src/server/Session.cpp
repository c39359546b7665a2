// A sub task: the dialogue with one mail client up to the hand-over to the upstream server.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <new>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "Limits.h"
#include "diag/Proginit.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

std::atomic<int> liveSubTasks{0};
// Set when the last session ends; the main task then gives the heap back once the ending
// threads have finished freeing (see releaseIdleMemory).
std::atomic<bool> trimPending{false};

void sendText(int socket, const char* text);
void closeAfterReply(int socket);

class Session {
  public:
    explicit Session(SocketTask& task) : task_(task) {}

    void run() {
        sendLine(task_.Socket, "220 SMTP Proxy\n", true);
        while (task_.running() && !relayed_) {
            const int kind = getCommand(task_, line_, sizeof line_);
            switch (kind) {
            case CommandFailed:
                if (task_.ClientTimedOut) {
                    sendText(task_.Socket, "421 Timeout\r\n");
                }
                return;
            case CommandHelo:
            case CommandEhlo:
                greeting(kind == CommandEhlo);
                break;
            case CommandMailFrom:
                handOverFromMailFrom();
                break;
            case CommandRset:
                sendLine(task_.Socket, "250 OK\n", true);
                break;
            default:
                DebugLog("get other");
                endWithError(ErrorServiceNotAvailable);
                break;
            }
        }
    }

    bool relayed() const { return relayed_; }

  private:
    void endWithError(int reply) {
        sendError(task_.Socket, reply);
        task_.stop();
        if (reply == ErrorCannotConnect || reply == ErrorServiceTemporarily ||
            (reply == ErrorServiceNotAvailable && task_.Failure != UpstreamFailure::None)) {
            report(EngineEvent::Kind::SessionFailed, reply != ErrorServiceNotAvailable);
        }
    }

    // Tells the desktop program how the upstream part of this session ended.
    void report(EngineEvent::Kind kind, bool temporary) {
        if (task_.Services == nullptr) {
            return;
        }
        EngineEvent event(kind, entry_);
        if (kind == EngineEvent::Kind::SessionFailed) {
            event.failure =
                task_.FailureText.empty() ? "the upstream ended the session" : task_.FailureText;
            event.hintKind = failureHintFor(event.failure);
            event.temporary = temporary;
        }
        task_.Services->events.push(std::move(event));
    }

    void greeting(bool isEhlo) {
        extended_ = extended_ || isEhlo;
        greetingLine_ = line_;
        if (!extended_) {
            if (heloCount_ < std::numeric_limits<int>::max()) {
                ++heloCount_;
            }
            sendLine(task_.Socket, "250 OK\n", true);
            return;
        }
        if (findEntry(entry_, line_, 0) != 0) {
            sendLine(task_.Socket, "250 AUTH PLAIN LOGIN CRAM-MD5\n", true);
            return;
        }
        handOverFromEhlo();
    }

    // Connects to the entry's server and sets up its security; a failure of either is a
    // failure to reach the upstream, for the mail client to retry later.
    bool connectUpstream() {
        std::string why;
        task_.PeerSocket = connectServer(entry_.SMTP.c_str(), entry_.Port, &why);
        if (task_.PeerSocket < 0) {
            task_.fail(UpstreamFailure::Unreachable, why);
            endWithError(ErrorCannotConnect);
            return false;
        }
        char word[limits::kLineBuffer];
        firstWord(greetingLine_ ? greetingLine_->c_str() : "", word, sizeof word);
        if (secureUpstream(entry_, task_, line_, sizeof line_, word, greetingRead_) != 0) {
            endWithError(ErrorCannotConnect);
            return false;
        }
        return true;
    }

    bool login() {
        const std::string& greetingLine = greetingLine_ ? *greetingLine_ : std::string();
        std::snprintf(line_, sizeof line_, "%s", greetingLine.c_str());
        if (authServer(entry_, task_, line_, sizeof line_, greetingRead_) != 0) {
            endWithError(task_.Failure == UpstreamFailure::Temporary ? ErrorServiceTemporarily
                                                                     : ErrorServiceNotAvailable);
            return false;
        }
        return true;
    }

    // Reads a reply of the upstream server to its last line; a code other than `expected` is
    // passed to the client and ends the session. A reply that cannot be read ends it too, with
    // "550 Can not be connected" unless only its continuation lines failed and
    // `replyOnBrokenContinuation` is false.
    bool expectServerReply(int expected, bool replyOnBrokenContinuation) {
        if (getLine(task_, task_.PeerSocket, line_, sizeof line_) != 0) {
            endWithError(ErrorCannotConnect);
            return false;
        }
        if (replyCode(line_) != expected) {
            sendLine(task_.Socket, (std::string(line_) + "\n").c_str(), true);
            task_.fail(replyCode(line_) / 100 == 4 ? UpstreamFailure::Temporary
                                                   : UpstreamFailure::Permanent,
                       line_);
            report(EngineEvent::Kind::SessionFailed, replyCode(line_) / 100 == 4);
            return false;
        }
        if (skipContinuation(task_, task_.PeerSocket, line_, sizeof line_, nullptr) != 0) {
            if (replyOnBrokenContinuation) {
                sendError(task_.Socket, ErrorCannotConnect);
            }
            task_.stop();
            return false;
        }
        return true;
    }

    void sendGreetingToServer() {
        const std::string text = (greetingLine_ ? *greetingLine_ : std::string()) + "\n";
        sendServerLine(task_, text.c_str(), true);
    }

    void handOverFromEhlo() {
        DebugLog("Match Domain");
        if (!connectUpstream()) {
            return;
        }
        if (entry_.Method != MethodNone) {
            if (!login()) {
                return;
            }
            sendLine(task_.Socket, ("250 " + entry_.SMTP + "\n").c_str(), true);
        } else {
            // A greeting of several lines is read to its end before the client's line goes on.
            if (!greetingRead_ && !expectServerReply(220, true)) {
                return;
            }
            sendGreetingToServer();
        }
        startRelay();
    }

    // From here on only bytes pass; the dialogue ends and subTaskMain hands the task over.
    void startRelay() {
        relayed_ = true;
        report(EngineEvent::Kind::SessionRelayed, false);
        DebugLog("Work Started of After SMTP AUTH");
    }

    void handOverFromMailFrom() {
        // After one HELO, or after EHLO lines that matched no entry (what most mail clients
        // send: EHLO with their own host name), the sender's address chooses the entry.
        if (heloCount_ != 1 && !(heloCount_ == 0 && extended_)) {
            endWithError(ErrorServiceNotAvailable);
            return;
        }
        if (findEntry(entry_, line_, 1) != 0) {
            DebugLog("No Domain");
            endWithError(ErrorDomainName);
            return;
        }
        const std::string mailFromLine = line_;
        DebugLog("server=%s", entry_.SMTP.c_str());
        if (!connectUpstream()) {
            return;
        }
        if (entry_.Method != MethodNone) {
            if (!login()) {
                return;
            }
        } else {
            if (!greetingRead_ && !expectServerReply(220, true)) {
                return;
            }
            sendGreetingToServer();
            if (!expectServerReply(250, false)) {
                return;
            }
        }
        sendServerLine(task_, (mailFromLine + "\n").c_str(), true);
        startRelay();
    }

    SocketTask& task_;
    char line_[limits::kLineBuffer] = {};
    ProxyData entry_;
    bool extended_ = false;
    int heloCount_ = 0;
    std::optional<std::string> greetingLine_;
    bool greetingRead_ = false; // the server's greeting was taken before TLS (STARTTLS)
    bool relayed_ = false;
};

// Lets the last reply reach the mail client: its sending side ends first (an orderly end of
// stream after the reply), and what it still sends is read and dropped for a short while, so
// the close does not turn into a reset that could destroy the reply in flight.
void closeAfterReply(int socket) {
    if (shutdown(socket, SHUT_WR) != 0) {
        return; // already gone
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limits::kDrainMillis);
    std::size_t drained = 0;
    char scratch[4096];
    while (drained < limits::kDrainBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd entry{socket, POLLIN, 0};
        const int count = poll(&entry, 1, static_cast<int>(left.count()));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        const ssize_t got = recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        drained += static_cast<std::size_t>(got);
    }
}

void sendText(int socket, const char* text) {
    sendAll(socket, text, std::strlen(text));
}

} // namespace

int getCommand(SocketTask& task, char* buffer, std::size_t size) {
    if (getLine(task, task.Socket, buffer, size) != 0) {
        return CommandFailed;
    }
    if (isCommand(buffer, "helo")) {
        return CommandHelo;
    }
    if (isCommand(buffer, "ehlo")) {
        return CommandEhlo;
    }
    if (isCommand(buffer, "mail from:")) {
        return CommandMailFrom;
    }
    if (isCommand(buffer, "rset")) {
        return CommandRset;
    }
    return CommandOther;
}

int findEntry(ProxyData& entry, const char* line, int mode) {
    const char* text = line;
    if (mode == 1) {
        const char* colon = std::strchr(line, ':');
        if (colon == nullptr) {
            return -1;
        }
        text = colon + 1;
    }
    const bool found = ProxyList.Scan(
        [&](const ProxyData& candidate) {
            return mode == 1 ? findText(text, candidate.Domain.c_str()) != nullptr
                             : matchTail(text, candidate.Domain.c_str());
        },
        entry);
    return found ? 0 : -1;
}

void subTaskMain(SocketTask* task) {
    const PipeSignalBlock noPipeSignal; // TLS and token requests write with write()
    task->ThreadId = static_cast<std::uint32_t>(gettid());
    DebugLog("sub task start(%x) w=%d", task->ThreadId, task->running() ? 1 : 0);
    bool relayed = false;
    {
        Session session(*task);
        session.run();
        relayed = session.relayed();
    }
    // The relay loop ends a relayed session when its relay ends, with this thread long gone.
    EngineServices& services = task->Services != nullptr ? *task->Services : engineServices();
    if (relayed && services.relays.adopt(task)) {
        return;
    }
    if (relayed) {
        DebugLog("relay loop error");
    }
    endSubTask(task, relayed);
}

void endSubTask(SocketTask* task, bool relayed) {
    DebugLog("sub task end(%x)", task->ThreadId);
    closePeer(*task);
    if (!relayed) {
        closeAfterReply(task->Socket);
    }
    closeSocket(task->Socket);
    delete task;
    if (liveSubTasks.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        trimPending.store(true, std::memory_order_release);
    }
}

void shareOneHeapArena() {
    // Every session thread would otherwise get a malloc arena of its own (up to eight per
    // core), and each arena keeps its top pages after a trim: about 60 KB apiece that never
    // came back after the first burst. Sessions allocate a few small blocks each, so one
    // shared arena costs them nothing measurable.
    mallopt(M_ARENA_MAX, 1);
}

void releaseIdleMemory() {
    // Two idle periods in a row with no session: by then the threads of the last burst have
    // run their exit path (their per-thread caches go back to the heap only there), so the
    // trim can hand the whole burst back and a proxy that sits in the tray all day does not
    // keep its peak. Trimming as the last session ends would miss those late frees.
    static thread_local bool armed = false;
    if (liveSubTasks.load(std::memory_order_acquire) != 0 ||
        !trimPending.load(std::memory_order_acquire)) {
        armed = false;
        return;
    }
    if (!armed) {
        armed = true;
        return;
    }
    armed = false;
    trimPending.store(false, std::memory_order_release);
    malloc_trim(0);
}

bool startSubTask(int socket) {
    if (liveSubTasks.load(std::memory_order_acquire) >= limits::kMaxSessions) {
        DebugLog("Too many connections");
        sendText(socket, "421 Too many connections\r\n");
        shutdown(socket, SHUT_RDWR);
        closeSocket(socket);
        return false;
    }
    auto* task = new (std::nothrow) SocketTask;
    if (task == nullptr) {
        closeSocket(socket);
        return false;
    }
    task->Socket = socket;
    task->PeerSocket = -1;
    task->Services = &engineServices();
    task->Running.store(true, std::memory_order_release);
    liveSubTasks.fetch_add(1, std::memory_order_acq_rel);
    try {
        std::thread(subTaskMain, task).detach();
    } catch (const std::system_error&) {
        liveSubTasks.fetch_sub(1, std::memory_order_acq_rel);
        closeSocket(socket);
        delete task;
        DebugLog("sub task thread error");
        return false;
    }
    return true;
}

int activeSubTasks() {
    return liveSubTasks.load(std::memory_order_acquire);
}
