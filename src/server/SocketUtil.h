// Small socket helpers shared by the engine's own files (not part of its interface).
#pragma once

#include <cstdint>
#include <netinet/in.h>

// Ports 1..65535 are usable; anything else is refused rather than cut to 16 bits.
bool portInRange(std::int32_t port);
// IPv4 socket address of `address` (network order) and `port`.
sockaddr_in ipv4Address(std::uint32_t address, std::int32_t port);
// Closes a socket; -1 is ignored.
void closeSocket(int socket);
