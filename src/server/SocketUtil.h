// Small socket helpers shared by the engine's own files (not part of its interface).
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

// Ports 1..65535 are usable; anything else is refused rather than cut to 16 bits.
bool portInRange(std::int32_t port);
// IPv4 socket address of `address` (network order) and `port`.
sockaddr_in ipv4Address(std::uint32_t address, std::int32_t port);
// sendAll with further send flags (MSG_NOSIGNAL is always added).
long sendAllWith(int socket, const char* bytes, std::size_t length, int flags);
// Closes a socket; -1 is ignored.
void closeSocket(int socket);
