// The relay loop: after the hand-over, the relays of all sessions run on one event loop thread
// (epoll, edge-triggered) instead of each on its session's thread, so one wake-up serves every
// session that has bytes to pass. The session thread hands its task over and ends; the loop ends
// the session when its relay ends ("sub task end", both sockets closed, the record destroyed).
//
// Threads: adopt may be called from any thread. The loop's thread starts with the first session
// and ends a moment after the last one, so an idle proxy holds no thread and no descriptor for
// relays.
#pragma once

#include <mutex>
#include <vector>

struct SocketTask;

class RelayLoop {
  public:
    RelayLoop();
    RelayLoop(const RelayLoop&) = delete;
    RelayLoop& operator=(const RelayLoop&) = delete;

    // Takes over a session at its hand-over: its two connected sockets, its TLS link and its
    // record. False when the loop cannot run (no thread, no descriptors): the caller keeps the
    // task and ends the session itself.
    bool adopt(SocketTask* task);

  private:
    // What adopt and the loop's thread share. Never freed: the loop's thread may outlive any
    // owner (sessions end with the process, never stopped from outside).
    struct Shared {
        std::mutex mutex;
        std::vector<SocketTask*> arrivals; // handed over, not yet watched by the loop
        bool threadRuns = false;
        // While the thread runs: its epoll set, and the eventfd that tells it of arrivals.
        int epoll = -1;
        int wake = -1;
    };
    // Makes the loop's descriptors and starts its thread; called with the mutex held.
    static bool startThread(Shared& shared);
    static void closeDescriptors(Shared& shared);
    static void run(Shared& shared);

    Shared& shared_;
};
