// Small socket helpers shared by the engine's own files (not part of its interface).
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/types.h>

// Ports 1..65535 are usable; anything else is refused rather than cut to 16 bits.
bool portInRange(std::int32_t port);
// IPv4 socket address of `address` (network order) and `port`.
sockaddr_in ipv4Address(std::uint32_t address, std::int32_t port);
// sendAll of two pieces in one system call where the socket takes them at once, so a line and
// its CR LF leave together; gives the total or -1.
long sendTwoParts(int socket, const char* first, std::size_t firstLength, const char* second,
                  std::size_t secondLength);
// Closes a socket; -1 is ignored.
void closeSocket(int socket);
// recv, taken again when a signal interrupted it.
ssize_t receiveRetrying(int socket, void* into, std::size_t length, int flags);

// Keeps SIGPIPE off the calling thread while it lives. OpenSSL and libcurl write with write(),
// not send(MSG_NOSIGNAL): a peer that reset its connection must give EPIPE, not a signal that
// ends the process. A SIGPIPE raised meanwhile is taken before the former mask comes back.
class PipeSignalBlock {
  public:
    PipeSignalBlock();
    ~PipeSignalBlock();
    PipeSignalBlock(const PipeSignalBlock&) = delete;
    PipeSignalBlock& operator=(const PipeSignalBlock&) = delete;

  private:
    sigset_t pipe_;
    sigset_t before_;
};
