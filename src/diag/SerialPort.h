// Serial port output of the diagnostic channel: termios set-up and a write with a time limit.
// Called only with the channel's lock held; failures are results (-1), never reported further.
#pragma once

#include <cstddef>

namespace diag {

// Baud rate for a set-up baud code: 1 2400, 2 4800, 4 19200, 5 38400, anything else 9600.
unsigned SerialBaudRate(int baudCode);

// Device path for a port name: "COMn" (any case, n from 1) maps to "/dev/ttyS<n-1>", anything
// else is taken as a path. False when the result does not fit in out.
bool SerialDevicePath(const char* portName, char* out, std::size_t outSize);

// Opens the device non-blocking and sets it to raw 8N1 with RTS/CTS flow control at the given
// rate, then raises DTR and RTS. Returns the descriptor, or -1 (nothing left open).
int OpenSerialPort(const char* devicePath, unsigned baudRate);

// Writes the bytes, waiting while flow control holds the output; what is not written when
// timeoutMillis have passed is dropped.
void WriteSerialPort(int fd, const char* data, std::size_t length, int timeoutMillis);

} // namespace diag
