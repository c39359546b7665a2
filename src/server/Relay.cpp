// The relay: after the hand-over every byte passes unchanged between client and server. Nothing
// here waits: a socket that cannot give or take more makes its direction pause until the loop
// reports it again, and the other direction's source is not read meanwhile (back-pressure).
#include "server/Relay.h"

#include <cerrno>
#include <cstdlib>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "diag/Proginit.h"
#include "server/Server.h"

namespace {

// What recv gave without waiting: a count > 0, 0 when the peer closed, -1 when reading failed,
// kNothingYet when nothing waits.
long receiveNow(int socket, char* into, std::size_t length) {
    for (;;) {
        const ssize_t count = recv(socket, into, length, MSG_DONTWAIT);
        if (count >= 0) {
            return static_cast<long>(count);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? kNothingYet : -1;
    }
}

// Sends what the socket takes without waiting: the count taken (less than `length` once the
// socket is full), or -1 when the peer is gone.
long sendNow(int socket, const char* bytes, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        const ssize_t count =
            send(socket, bytes + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        return -1;
    }
    return static_cast<long>(sent);
}

} // namespace

RelayBlocks::~RelayBlocks() {
    release();
}

char* RelayBlocks::get() {
    if (spareCount_ > 0) {
        return spare_[--spareCount_];
    }
    return static_cast<char*>(std::malloc(limits::kRelayBuffer));
}

void RelayBlocks::put(char* block) {
    if (block == nullptr) {
        return;
    }
    if (spareCount_ < spare_.size()) {
        spare_[spareCount_++] = block;
        return;
    }
    std::free(block);
}

void RelayBlocks::release() {
    while (spareCount_ > 0) {
        std::free(spare_[--spareCount_]);
    }
}

RelaySession::RelaySession(SocketTask* task) : task_(task) {
    // Until a send finds a socket full, it is taken to have room; what is readable is reported
    // by the loop as soon as the sockets are watched.
    client_.writable = true;
    server_.writable = true;
}

void RelaySession::note(Readiness& side, std::uint32_t events) {
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        // The next read or send shows the close or the error.
        side.closing = true;
        side.readable = true;
        side.writable = true;
    }
    if ((events & EPOLLIN) != 0) {
        side.readable = true;
    }
    if ((events & EPOLLOUT) != 0) {
        side.writable = true;
    }
}

RelaySession::Outcome RelaySession::advance(RelayBlocks& blocks) {
    const Outcome up = toServer(blocks);
    if (up == Outcome::Ended) {
        return up;
    }
    const Outcome down = toClient(blocks);
    if (down == Outcome::Ended) {
        return down;
    }
    return up == Outcome::Again || down == Outcome::Again ? Outcome::Again : Outcome::Waiting;
}

void RelaySession::stop() {
    task_->stop();
}

void RelaySession::releaseBlocks(RelayBlocks& blocks) {
    blocks.put(toServer_.block);
    blocks.put(toClient_.block);
    toServer_ = {};
    toClient_ = {};
}

RelaySession::Outcome RelaySession::end(const char* trace) {
    DebugLog("%s", trace);
    task_->stop();
    return Outcome::Ended;
}

RelaySession::Outcome RelaySession::toServer(RelayBlocks& blocks) {
    for (int piece = 0; piece < limits::kRelayPiecesPerTurn; ++piece) {
        if (toServer_.block == nullptr) {
            if (!client_.readable) {
                return Outcome::Waiting;
            }
            char* block = blocks.get();
            if (block == nullptr) {
                return end("Relay Memory Error");
            }
            const long count = receiveNow(task_->Socket, block, limits::kRelayBuffer);
            if (count == kNothingYet) {
                client_.readable = false;
                blocks.put(block);
                return Outcome::Waiting;
            }
            if (count <= 0) {
                blocks.put(block);
                return end("Client Read Error");
            }
            // A short read emptied the socket, and bytes that come later are reported; but an
            // end of stream already reported must still be read.
            if (static_cast<std::size_t>(count) < limits::kRelayBuffer && !client_.closing) {
                client_.readable = false;
            }
            toServer_ = {block, 0, static_cast<std::size_t>(count)};
        }
        const Flow flow =
            serverCanTake() ? handedOn(toServer_, flushToServer(), blocks) : Flow::Waiting;
        if (flow == Flow::Gone) {
            return end("Server Write Error");
        }
        if (flow == Flow::Waiting) {
            return Outcome::Waiting;
        }
    }
    return client_.readable ? Outcome::Again : Outcome::Waiting;
}

RelaySession::Outcome RelaySession::toClient(RelayBlocks& blocks) {
    for (int piece = 0; piece < limits::kRelayPiecesPerTurn; ++piece) {
        if (toClient_.block == nullptr) {
            if (serverGone_) {
                return end("Server Read Error");
            }
            if (!serverCanGive()) {
                return Outcome::Waiting;
            }
            char* block = blocks.get();
            if (block == nullptr) {
                return end("Relay Memory Error");
            }
            std::size_t filled = 0;
            while (filled < limits::kRelayBuffer) {
                const long count = readServer(block + filled, limits::kRelayBuffer - filled);
                if (count == kNothingYet) {
                    break;
                }
                if (count <= 0) {
                    serverGone_ = true; // what came before the close still goes to the client
                    break;
                }
                filled += static_cast<std::size_t>(count);
                // A plain socket gives all it holds at once; TLS gives a record per read, and
                // a block that is filled further leaves in fewer sends.
                if (!task_->PeerTls) {
                    break;
                }
            }
            if (filled == 0) {
                blocks.put(block);
                return serverGone_ ? end("Server Read Error") : Outcome::Waiting;
            }
            toClient_ = {block, 0, filled};
        }
        const Flow flow =
            client_.writable
                ? handedOn(toClient_, flushPlain(task_->Socket, toClient_, client_), blocks)
                : Flow::Waiting;
        if (flow == Flow::Gone) {
            return end("Client Write Error");
        }
        if (flow == Flow::Waiting) {
            return Outcome::Waiting;
        }
    }
    return serverGone_ || serverCanGive() ? Outcome::Again : Outcome::Waiting;
}

bool RelaySession::serverCanTake() const {
    return tlsWriteWantsReadable_ ? server_.readable : server_.writable;
}

bool RelaySession::serverCanGive() const {
    if (!task_->PeerTls) {
        return server_.readable;
    }
    if (tlsReadWantsWritable_) {
        return server_.writable;
    }
    // Bytes already inside the TLS layer do not make the socket readable: they count too.
    return server_.readable || task_->PeerTls->hasBuffered();
}

long RelaySession::readServer(char* into, std::size_t length) {
    if (!task_->PeerTls) {
        const long count = receiveNow(task_->PeerSocket, into, length);
        if (count == kNothingYet ||
            (count > 0 && static_cast<std::size_t>(count) < length && !server_.closing)) {
            server_.readable = false;
        }
        return count;
    }
    const long count = peerReceive(*task_, into, length, false);
    tlsReadWantsWritable_ = count == kNothingYet && task_->PeerTls->wantsWrite();
    if (count == kNothingYet) {
        (tlsReadWantsWritable_ ? server_.writable : server_.readable) = false;
    }
    return count;
}

RelaySession::Flow RelaySession::handedOn(Held& held, Flow flow, RelayBlocks& blocks) {
    if (flow == Flow::Passed) {
        blocks.put(held.block);
        held = {};
    }
    return flow;
}

RelaySession::Flow RelaySession::flushPlain(int socket, Held& held, Readiness& destination) {
    const long sent = sendNow(socket, held.block + held.start, held.end - held.start);
    if (sent < 0) {
        return Flow::Gone;
    }
    held.start += static_cast<std::size_t>(sent);
    if (held.start < held.end) {
        destination.writable = false;
        return Flow::Waiting;
    }
    return Flow::Passed;
}

RelaySession::Flow RelaySession::flushToServer() {
    Held& held = toServer_;
    if (!task_->PeerTls) {
        return flushPlain(task_->PeerSocket, held, server_);
    }
    // The TLS library takes a piece whole or not at all, and a retry must offer the same bytes
    // at the same address: the block stays where it is until the write is done.
    std::size_t done = 0;
    const TlsIo result =
        task_->PeerTls->write(held.block + held.start, held.end - held.start, done);
    tlsWriteWantsReadable_ = result == TlsIo::WantRead;
    switch (result) {
    case TlsIo::Done:
        held.start = held.end;
        return Flow::Passed;
    case TlsIo::WantRead:
        server_.readable = false;
        return Flow::Waiting;
    case TlsIo::WantWrite:
        server_.writable = false;
        return Flow::Waiting;
    case TlsIo::Failed:
        DebugLog("TLS write error: %s", task_->PeerTls->error().c_str());
        return Flow::Gone;
    case TlsIo::Closed:
        return Flow::Gone;
    }
    return Flow::Gone;
}
