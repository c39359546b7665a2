#include "TraceCapture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "diag/Proginit.h"

namespace testsupport {

TraceCapture::TraceCapture(Mode mode) : mode_(mode) {
    std::string pattern = std::filesystem::temp_directory_path() / "vellomir-trace-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    directory_ = pattern;
    path_ = directory_ + "/trace.log";
    if (mode == Udp) {
        receiver_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int size = 4 << 20; // no datagram may be dropped before it is read
        ::setsockopt(receiver_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(receiver_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else if (mode == StandardError) {
        savedStderr_ = ::dup(2);
        const int file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, 2);
        ::close(file);
    }
    setUp();
}

TraceCapture::~TraceCapture() {
    DebugResetForTest();
    if (receiver_ >= 0) {
        ::close(receiver_);
    }
    if (savedStderr_ >= 0) {
        ::dup2(savedStderr_, 2);
        ::close(savedStderr_);
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

void TraceCapture::setUp() {
    DebugResetForTest();
    switch (mode_) {
    case File:
        DebugSetup(DebugFile, path_.c_str());
        break;
    case Udp: {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(receiver_, reinterpret_cast<sockaddr*>(&address), &length);
        DebugSetup(DebugUdp, ntohs(address.sin_port), "127.0.0.1");
        break;
    }
    case StandardError:
        DebugSetup(DebugDebugger);
        break;
    }
}

void TraceCapture::restart() {
    setUp();
    datagrams_.clear();
}

std::string TraceCapture::text() {
    if (mode_ != Udp) {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    char datagram[2048];
    ssize_t got;
    while ((got = ::recv(receiver_, datagram, sizeof datagram, MSG_DONTWAIT)) > 0) {
        datagrams_.append(datagram, static_cast<std::size_t>(got));
    }
    return datagrams_;
}

std::vector<std::string> TraceCapture::lines() {
    std::vector<std::string> result;
    std::istringstream stream(text());
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

bool TraceCapture::contains(const std::string& needle) {
    return text().find(needle) != std::string::npos;
}

void TraceCapture::stop() {
    DebugResetForTest();
}

std::string TraceCapture::finish() {
    stop();
    return text();
}

} // namespace testsupport
