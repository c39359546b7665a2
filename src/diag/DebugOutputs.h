// The diagnostic channel's other outputs: the log file, the UDP socket and standard error.
// Called only with the channel's lock held; failures are results, never reported further, and a
// write error loses that line only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

namespace diag {

// Creates or empties the file for writing, mode 0600; refuses a symbolic link, anything but a
// regular file, and a file of another user. Returns the descriptor, or -1.
int OpenLogFile(const char* fileName);

// Resolves the host (a dotted IPv4 address without a look-up), makes a datagram socket bound to
// any local port and fills the destination. Returns the socket, or -1 (nothing left open).
int OpenUdpOutput(const char* host, std::uint16_t port, sockaddr_in& destination);

// One write of the whole line (a file or a serial port without flow control).
void WriteLine(int fd, const char* data, std::size_t length);
// One datagram holding the whole line.
void SendDatagram(int socket, const sockaddr_in& destination, const char* data, std::size_t length);
// One write to standard error; a closed pipe there must not end the process with SIGPIPE.
void WriteStandardError(const char* data, std::size_t length);

} // namespace diag
