#include "BenchNet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

namespace bench {

void die(const std::string& what) {
    std::fprintf(stderr, "%s (%s)\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

static sockaddr_in loopbackAddress(const char* host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        errno = EINVAL;
        die(std::string("not a dotted address: ") + host);
    }
    return address;
}

void setNoDelay(int socket) {
    int one = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void setNonBlocking(int socket) {
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
}

int connectTo(const char* host, int port) {
    sockaddr_in address = loopbackAddress(host, port);
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    while (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR)
            continue;
        int saved = errno;
        ::close(s);
        errno = saved;
        return -1;
    }
    setNoDelay(s);
    return s;
}

int listenOn(const char* host, int port, int* boundPort) {
    sockaddr_in address = loopbackAddress(host, port);
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        die("socket");
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        die("bind");
    if (::listen(s, 4096) != 0)
        die("listen");
    socklen_t length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    if (boundPort)
        *boundPort = ntohs(address.sin_port);
    return s;
}

bool sendAll(int socket, const void* bytes, std::size_t length) {
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
        ssize_t n = ::send(socket, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sendText(int socket, const std::string& text) {
    return sendAll(socket, text.data(), text.size());
}

bool LineReader::readLine(std::string& line) {
    line.clear();
    for (;;) {
        for (std::size_t i = start_; i < end_; ++i) {
            if (buffer_[i] == '\n') {
                line.append(buffer_ + start_, i - start_);
                start_ = i + 1;
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return true;
            }
        }
        line.append(buffer_ + start_, end_ - start_);
        start_ = end_ = 0;
        ssize_t n;
        if (ssl_ != nullptr) {
            std::size_t got = 0;
            n = SSL_read_ex(ssl_, buffer_, sizeof buffer_, &got) == 1 ? static_cast<ssize_t>(got)
                                                                      : -1;
        } else {
            n = ::recv(socket_, buffer_, sizeof buffer_, 0);
        }
        if (n < 0 && errno == EINTR && ssl_ == nullptr)
            continue;
        if (n <= 0)
            return false;
        end_ = static_cast<std::size_t>(n);
    }
}

int LineReader::readReply(std::string* lastLine, std::string* all) {
    std::string line;
    for (;;) {
        if (!readLine(line))
            return -1;
        if (all) {
            if (!all->empty())
                all->push_back('\n');
            all->append(line);
        }
        if (line.size() < 4 || line[3] != '-')
            break;
    }
    if (lastLine)
        *lastLine = line;
    if (line.size() < 3)
        return -1;
    return std::atoi(line.substr(0, 3).c_str());
}

} // namespace bench
