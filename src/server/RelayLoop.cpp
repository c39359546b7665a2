// The event loop that runs the relays of all sessions after their hand-over.
#include "server/RelayLoop.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <new>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "Limits.h"
#include "diag/Proginit.h"
#include "server/Relay.h"
#include "server/Server.h"
#include "server/SocketUtil.h"

namespace {

// The low bit of an event's tag tells the server's socket from the client's.
constexpr std::uint64_t kServerSide = 1;
// The tag of the wake-up descriptor.
constexpr std::uint64_t kWakeTag = 0;

struct Relayed {
    explicit Relayed(SocketTask* task) : session(task) {}
    RelaySession session;
    bool queued = false; // waits for another turn without a report
    bool ended = false;  // finished; freed once the current batch of reports is through
};

// The loop's own state; only its thread touches it.
class LoopTurns {
  public:
    explicit LoopTurns(int epoll) : epoll_(epoll) {}
    ~LoopTurns() { blocks_.release(); }

    bool idle() const { return sessions_ == 0 && turns_.empty(); }
    int timeoutMillis() const {
        if (!turns_.empty()) {
            return 0;
        }
        return sessions_ == 0 ? limits::kRelayLoopLingerMillis : -1;
    }

    void start(SocketTask* task) {
        auto* relayed = new (std::nothrow) Relayed(task);
        if (relayed == nullptr) {
            DebugLog("relay loop error");
            endSubTask(task, true);
            return;
        }
        ++sessions_;
        const auto tag = reinterpret_cast<std::uint64_t>(relayed);
        if (!watch(task->Socket, tag) || !watch(task->PeerSocket, tag | kServerSide)) {
            DebugLog("relay loop error");
            relayed->session.stop();
            finish(relayed);
            return;
        }
        // Bytes the TLS layer took in before the hand-over are reported by no socket.
        drive(relayed, false);
    }

    void report(const epoll_event& event) {
        auto* relayed = reinterpret_cast<Relayed*>(event.data.u64 & ~kServerSide);
        if (relayed->ended) {
            return;
        }
        if ((event.data.u64 & kServerSide) != 0) {
            relayed->session.noteServer(event.events);
        } else {
            relayed->session.noteClient(event.events);
        }
        drive(relayed, (event.events & EPOLLPRI) != 0);
    }

    // The sessions that asked for another turn before this batch of reports get it after the
    // batch, so the sessions with news are not kept waiting behind them.
    void beginBatch() { due_.swap(turns_); }
    void takeTurns() {
        for (Relayed* relayed : due_) {
            relayed->queued = false;
            if (!relayed->ended) {
                drive(relayed, false);
            }
        }
        due_.clear();
    }

    // Frees the sessions that ended during this batch.
    void bury() {
        if (ended_.empty()) {
            return;
        }
        std::erase_if(turns_, [](const Relayed* relayed) { return relayed->ended; });
        for (Relayed* relayed : ended_) {
            delete relayed;
        }
        ended_.clear();
    }

  private:
    bool watch(int socket, std::uint64_t tag) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLPRI | EPOLLET;
        event.data.u64 = tag;
        return epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) == 0;
    }

    void drive(Relayed* relayed, bool urgent) {
        RelaySession::Outcome outcome = relayed->session.advance(blocks_);
        // Urgent data is the exception that ends the relay, without a trace, after what was
        // readable has passed.
        if (outcome != RelaySession::Outcome::Ended && urgent) {
            relayed->session.stop();
            outcome = RelaySession::Outcome::Ended;
        }
        if (outcome == RelaySession::Outcome::Ended) {
            finish(relayed);
        } else if (outcome == RelaySession::Outcome::Again && !relayed->queued) {
            relayed->queued = true;
            turns_.push_back(relayed);
        }
    }

    void finish(Relayed* relayed) {
        relayed->ended = true;
        relayed->session.releaseBlocks(blocks_);
        if (--sessions_ == 0) {
            blocks_.release();
        }
        // Closing the sockets also takes them out of the epoll set.
        endSubTask(relayed->session.task(), true);
        ended_.push_back(relayed);
    }

    int epoll_;
    RelayBlocks blocks_;
    int sessions_ = 0;
    std::vector<Relayed*> turns_;
    std::vector<Relayed*> due_;
    std::vector<Relayed*> ended_;
};

} // namespace

RelayLoop::RelayLoop() : shared_(*new Shared) {}

bool RelayLoop::adopt(SocketTask* task) {
    std::lock_guard lock(shared_.mutex);
    if (!shared_.threadRuns && !startThread(shared_)) {
        return false;
    }
    const bool first = shared_.arrivals.empty();
    shared_.arrivals.push_back(task);
    if (first) {
        const std::uint64_t one = 1;
        // The counter only says "look"; a full counter still wakes the loop.
        [[maybe_unused]] const ssize_t written = write(shared_.wake, &one, sizeof one);
    }
    return true;
}

bool RelayLoop::startThread(Shared& shared) {
    // The descriptors live as long as the thread, so an idle proxy holds none.
    shared.epoll = epoll_create1(EPOLL_CLOEXEC);
    shared.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeTag;
    bool started = shared.epoll >= 0 && shared.wake >= 0 &&
                   epoll_ctl(shared.epoll, EPOLL_CTL_ADD, shared.wake, &event) == 0;
    if (started) {
        try {
            std::thread(run, std::ref(shared)).detach();
        } catch (const std::system_error&) {
            started = false;
        }
    }
    if (!started) {
        closeDescriptors(shared);
        return false;
    }
    shared.threadRuns = true;
    return true;
}

void RelayLoop::closeDescriptors(Shared& shared) {
    closeSocket(shared.epoll);
    closeSocket(shared.wake);
    shared.epoll = -1;
    shared.wake = -1;
}

void RelayLoop::run(Shared& shared) {
    // A TLS write to a reset upstream gives an error that ends that relay, not a signal.
    const PipeSignalBlock noPipeSignal;
    pthread_setname_np(pthread_self(), "vellomir relay");

    // Set before the thread started, and changed only by this thread before it ends.
    const int epoll = shared.epoll;
    const int wake = shared.wake;
    LoopTurns loop(epoll);
    std::vector<SocketTask*> arrived;
    epoll_event events[limits::kRelayLoopEvents];
    for (;;) {
        const int count = epoll_wait(epoll, events, limits::kRelayLoopEvents, loop.timeoutMillis());
        if (count < 0) {
            if (errno != EINTR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(limits::kPollMillis));
            }
            continue;
        }
        if (count == 0 && loop.idle()) {
            std::lock_guard lock(shared.mutex);
            if (shared.arrivals.empty()) {
                // No session is watched any more, so nothing else refers to these.
                closeDescriptors(shared);
                shared.threadRuns = false;
                return;
            }
        }
        loop.beginBatch();
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 != kWakeTag) {
                loop.report(events[i]);
                continue;
            }
            std::uint64_t ignored = 0;
            [[maybe_unused]] const ssize_t read = ::read(wake, &ignored, sizeof ignored);
            {
                std::lock_guard lock(shared.mutex);
                arrived.swap(shared.arrivals);
            }
            for (SocketTask* task : arrived) {
                loop.start(task);
            }
            arrived.clear();
        }
        loop.takeTurns();
        loop.bury();
    }
}
