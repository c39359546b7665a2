#include "ListenCheck.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "server/Server.h"

namespace {

// Below this port Linux lets only privileged processes listen; the system may lower it.
int FirstUnprivilegedPort() {
    int port = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> port;
    return port;
}

std::string Decimal(long value) {
    return std::to_string(value);
}

bool Ipv6Literal(const std::string& address, in6_addr* parsed) {
    return inet_pton(AF_INET6, address.c_str(), parsed) == 1;
}

} // namespace

std::string ListenFailureReason(const std::string& address, std::int32_t port, int error,
                                const std::string& programPath, const std::string& settingsPath) {
    if (port < 1 || port > 65535) {
        return "port " + Decimal(port) + " is not a TCP port (1 to 65535)";
    }
    in6_addr v6{};
    if (resolveAddress(address.c_str()) == kNoAddress && !Ipv6Literal(address, &v6)) {
        return "\"" + address +
               "\" is neither a dotted IPv4 address, an IPv6 literal nor a host name that resolves";
    }
    const int firstFree = FirstUnprivilegedPort();
    if ((error == EACCES || error == EPERM) && port < firstFree) {
        return "ports below " + Decimal(firstFree) + " need privileges on Linux. Use port " +
               Decimal(firstFree) +
               " or above (set it in the options dialog, or as ListenPort in " +
               "section [Option] of " + settingsPath + ", and point the mail client there), " +
               "or let Vellomir open low ports: sudo setcap cap_net_bind_service=+ep " +
               programPath;
    }
    switch (error) {
    case EADDRINUSE:
        return "another program already uses port " + Decimal(port) + " on " + address;
    case EADDRNOTAVAIL:
        return address + " is not an address of this machine";
    case 0:
        return "the system gave no reason";
    default:
        return std::strerror(error);
    }
}

bool OpenToOtherMachines(const std::string& address) {
    in6_addr v6{};
    if (Ipv6Literal(address, &v6)) {
        // "::" is every interface; a v4-mapped address is as open as its IPv4 form.
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            return v6.s6_addr[12] != 127;
        }
        return !IN6_IS_ADDR_LOOPBACK(&v6);
    }
    const std::uint32_t resolved = resolveAddress(address.c_str());
    if (resolved == kNoAddress) {
        return false; // nothing can listen there
    }
    return (ntohl(resolved) >> 24) != 127;
}
