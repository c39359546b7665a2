// What the desktop program tells the user about its listening socket: why it could not be
// opened, in words a user can act on, and whether its address lets other machines in.
//
// User-interface thread. Both look a host name up the way the listener does (resolveAddress),
// which may wait for the resolver; neither fails: an address that resolves to nothing is named
// as such.
#pragma once

#include <cstdint>
#include <string>

// Why the listener on `address` and `port` could not be opened. `error` is the errno that the
// failed serverOpen left, read at once after it. `programPath` and `settingsPath` name the
// program and its settings file in the advice for a port that needs privileges.
std::string ListenFailureReason(const std::string& address, std::int32_t port, int error,
                                const std::string& programPath, const std::string& settingsPath);

// True when `address` resolves to an address outside the loopback network 127.0.0.0/8, or is an
// IPv6 literal other than ::1, so that other machines may reach a listener there (0.0.0.0 and ::
// included: every interface).
bool OpenToOtherMachines(const std::string& address);
