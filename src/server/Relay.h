// One session's relay after the hand-over: bytes pass unchanged both ways between the mail
// client's socket and the upstream (plain or TLS), without ever waiting. Whoever drives it (the
// relay loop) reports the sockets' readiness and calls advance again when it asks for another
// turn.
//
// Threads: a RelaySession and the RelayBlocks it borrows from belong to one thread, the loop's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Limits.h"

struct SocketTask;

// Transfer blocks of one loop. A direction reads into a block and passes it on at once; only a
// destination that cannot take all of it makes the direction keep the block until it can. So a
// session holds at most one block per direction and an idle one holds none.
class RelayBlocks {
  public:
    RelayBlocks() = default;
    ~RelayBlocks();
    RelayBlocks(const RelayBlocks&) = delete;
    RelayBlocks& operator=(const RelayBlocks&) = delete;

    // A block of limits::kRelayBuffer bytes, or nullptr when memory ran out.
    char* get();
    void put(char* block);
    // Frees the spare blocks (when the loop has no session left, so memory goes back).
    void release();

  private:
    std::array<char*, limits::kRelaySpareBlocks> spare_{};
    std::size_t spareCount_ = 0;
};

// What the loop last learned about one socket: readiness is reported once (edge-triggered) and
// holds until a read or a send finds the socket empty or full.
struct Readiness {
    bool readable = false;
    bool writable = false;
    bool closing = false; // the peer's end of stream or an error was seen: read until it shows
};

class RelaySession {
  public:
    // Takes the task over; its sockets must be connected and its TLS link, if any, set up.
    explicit RelaySession(SocketTask* task);
    RelaySession(const RelaySession&) = delete;
    RelaySession& operator=(const RelaySession&) = delete;

    SocketTask* task() const { return task_; }

    // Takes what epoll reported for the client's or the server's socket.
    void noteClient(std::uint32_t events) { note(client_, events); }
    void noteServer(std::uint32_t events) { note(server_, events); }

    enum class Outcome {
        Waiting, // nothing more can move until a socket reports again
        Again,   // more could move: call again soon (its turn ended to let other sessions run)
        Ended,   // the relay is over; its trace is written and the task stopped
    };
    // Moves what the sockets allow now, the client-to-server direction first.
    Outcome advance(RelayBlocks& blocks);
    // Ends the relay without a trace (urgent data).
    void stop();
    // Gives back the blocks it still holds; called once the relay is over.
    void releaseBlocks(RelayBlocks& blocks);

  private:
    // Bytes read but not yet taken by their destination.
    struct Held {
        char* block = nullptr;
        std::size_t start = 0;
        std::size_t end = 0;
    };
    enum class Flow { Passed, Waiting, Gone };

    static void note(Readiness& side, std::uint32_t events);
    Outcome toServer(RelayBlocks& blocks);
    Outcome toClient(RelayBlocks& blocks);
    // Sends what `held` still holds on a plain socket; `destination` learns when it is full.
    static Flow flushPlain(int socket, Held& held, Readiness& destination);
    Flow flushToServer();
    // A block that passed whole goes back to the pool; gives `flow`.
    static Flow handedOn(Held& held, Flow flow, RelayBlocks& blocks);
    bool serverCanTake() const;
    bool serverCanGive() const;
    // Reads from the server into [into, into + length): a count > 0, 0 when it closed, -1 when
    // reading failed, kNothingYet when nothing can be read now.
    long readServer(char* into, std::size_t length);
    Outcome end(const char* trace);

    SocketTask* task_;
    Readiness client_;
    Readiness server_;
    Held toServer_;
    Held toClient_;
    bool serverGone_ = false;            // the server closed: pass on what was read, then end
    bool tlsWriteWantsReadable_ = false; // a TLS write waits for the server's bytes
    bool tlsReadWantsWritable_ = false;  // a TLS read waits until the socket takes bytes
};
