// UDP mode against a loopback receiver: one datagram per line, exact bytes, no 0 byte.
#include "DiagTestSupport.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using diagtest::ChannelTest;

class Receiver {
  public:
    Receiver() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        const timeval wait{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Receiver() { close(fd_); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int Port() const { return port_; }
    // The next datagram, whole; "<none>" when nothing arrives in time.
    std::string Next() {
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_TRUNC);
        return n < 0 ? "<none>" : std::string(buffer, static_cast<std::size_t>(n));
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

struct Destination {
    const char* name;
    const char* host;
    int portOffset; // added to the receiver's port; only the low 16 bits count
};

class UdpModeTest : public ChannelTest, public ::testing::WithParamInterface<Destination> {};

TEST_P(UdpModeTest, EachLineIsOneDatagramOfExactlyItsBytes) {
    Receiver receiver;
    ASSERT_GT(receiver.Port(), 0);
    DebugSetup(DebugUdp, receiver.Port() + GetParam().portOffset, GetParam().host);

    DebugLog("Start:");
    DebugLogRaw("send:%s", "EHLO client\n");
    DebugLog("%s", std::string(1200, 'u').c_str());
    DebugLog("%s=%d", "port", 25);

    const std::string first = receiver.Next();
    EXPECT_EQ(first, "Start:\r\n");
    EXPECT_EQ(std::memchr(first.data(), '\0', first.size()), nullptr);
    EXPECT_EQ(receiver.Next(), "send:EHLO client\n");
    EXPECT_EQ(receiver.Next(), std::string(1000, 'u') + "\r\n");
    EXPECT_EQ(receiver.Next(), "port=25\r\n");
}

INSTANTIATE_TEST_SUITE_P(Hosts, UdpModeTest,
                         ::testing::Values(Destination{"DottedAddress", "127.0.0.1", 0},
                                           Destination{"HostName", "localhost", 0},
                                           Destination{"PortAbove16Bits", "127.0.0.1", 65536}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
