// A fast SMTP server for the benchmarks: the upstream behind the proxy and behind the relays.
//
// One thread, epoll, non-blocking sockets, so it stays cheap beside the relay under test and
// holds thousands of idle sessions. It takes mail and throws it away; with --auth it offers
// AUTH LOGIN, PLAIN and CRAM-MD5 on an EHLO continuation line, checks the credentials and
// refuses MAIL before a login. The reply to the end of DATA names the number of message bytes
// received, so a client can check that nothing was lost on the way.
// With --tls it speaks TLS from the first byte (implicit TLS, as on port 465); with --starttls
// it offers STARTTLS and, like a submission server that requires it, AUTH only after it. Both
// take --cert and --key (PEM files).
//
// Usage: bench_upstream [--auth] [--port N] [--tls | --starttls] [--cert F --key F];
// prints "port N" once it listens, runs until killed.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

#include <openssl/ssl.h>

#include "AuthText.h"
#include "BenchNet.h"
#include "BenchTls.h"

namespace {

const std::string kUser = "benchuser";
const std::string kPassword = "bench-secret";

enum class Mode { Command, Data, LoginUser, LoginPassword, PlainAnswer, CramAnswer };

struct Session {
    int socket = -1;
    Mode mode = Mode::Command;
    bool loggedIn = false;
    std::string input;    // command bytes not yet ended by LF
    std::string output;   // reply bytes the socket would not take yet
    std::string dataTail; // last bytes of the message, for an end mark split between reads
    unsigned long long dataBytes = 0;
    std::string challenge;
    SSL* ssl = nullptr;      // once TLS has started on this connection
    bool startTls = false;   // STARTTLS was answered: TLS starts after the reply has gone
    bool waitsWrite = false; // the socket took no more: wait until it is writable
};

bool gRequireAuth = false;
bool gImplicitTls = false;
bool gOfferStartTls = false;
SSL_CTX* gTls = nullptr;
int gEpoll = -1;
unsigned long gChallengeCounter = 0;
std::unordered_map<int, Session> gSessions;

bool startsWithNoCase(const std::string& line, const char* word) {
    std::size_t n = std::strlen(word);
    return line.size() >= n && strncasecmp(line.c_str(), word, n) == 0;
}

void closeSession(Session& s) {
    if (s.ssl != nullptr) {
        SSL_shutdown(s.ssl);
        SSL_free(s.ssl);
    }
    epoll_ctl(gEpoll, EPOLL_CTL_DEL, s.socket, nullptr);
    ::close(s.socket);
    gSessions.erase(s.socket);
}

void beginTls(Session& s) {
    s.ssl = SSL_new(gTls);
    if (s.ssl == nullptr || SSL_set_fd(s.ssl, s.socket) != 1)
        bench::die("SSL_new");
    SSL_set_accept_state(s.ssl);
}

// What was written: a count, 0 when the socket (or the TLS handshake) must be waited for, -1
// when the peer is gone.
long writeSome(Session& s) {
    s.waitsWrite = false;
    if (s.ssl == nullptr) {
        for (;;) {
            ssize_t n = ::send(s.socket, s.output.data(), s.output.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                s.waitsWrite = true;
                return 0;
            }
            return n > 0 ? n : -1;
        }
    }
    std::size_t written = 0;
    int r = SSL_write_ex(s.ssl, s.output.data(), s.output.size(), &written);
    if (r == 1)
        return static_cast<long>(written);
    int e = SSL_get_error(s.ssl, r);
    s.waitsWrite = e == SSL_ERROR_WANT_WRITE;
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

// What was read: a count, 0 when the peer closed, -1 on failure, -2 when nothing waits.
long readSome(Session& s, char* buffer, std::size_t size) {
    if (s.ssl == nullptr) {
        ssize_t n = ::recv(s.socket, buffer, size, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return -2;
        return n;
    }
    std::size_t got = 0;
    int r = SSL_read_ex(s.ssl, buffer, size, &got);
    if (r == 1)
        return static_cast<long>(got);
    int e = SSL_get_error(s.ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return -2;
    return e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL ? 0 : -1;
}

// Gives false when the session was closed.
bool flush(Session& s) {
    while (!s.output.empty()) {
        long n = writeSome(s);
        if (n == 0)
            break;
        if (n < 0) {
            closeSession(s);
            return false;
        }
        s.output.erase(0, static_cast<std::size_t>(n));
    }
    if (s.startTls && s.output.empty()) {
        s.startTls = false;
        beginTls(s);
    }
    epoll_event ev{};
    ev.events = EPOLLIN | (s.waitsWrite ? static_cast<unsigned>(EPOLLOUT) : 0u);
    ev.data.fd = s.socket;
    epoll_ctl(gEpoll, EPOLL_CTL_MOD, s.socket, &ev);
    return true;
}

void reply(Session& s, const std::string& text) {
    s.output += text;
}

bool plainMatches(const std::string& base64) {
    std::string decoded = testsupport::fromBase64(base64);
    std::size_t first = decoded.find('\0');
    if (first == std::string::npos)
        return false;
    std::string rest = decoded.substr(first + 1);
    std::string authzid = decoded.substr(0, first);
    return (authzid.empty() || authzid == kUser) &&
           rest == kUser + std::string(1, '\0') + kPassword;
}

void loginResult(Session& s, bool ok) {
    s.mode = Mode::Command;
    s.loggedIn = ok;
    reply(s, ok ? "235 2.7.0 Authentication successful\r\n"
                : "535 5.7.8 Authentication credentials invalid\r\n");
}

// Gives true when the session should close after its replies.
bool handleLine(Session& s, const std::string& line) {
    switch (s.mode) {
    case Mode::LoginUser:
        if (testsupport::fromBase64(line) != kUser) {
            loginResult(s, false);
        } else {
            s.mode = Mode::LoginPassword;
            reply(s, "334 UGFzc3dvcmQ6\r\n");
        }
        return false;
    case Mode::LoginPassword:
        loginResult(s, testsupport::fromBase64(line) == kPassword);
        return false;
    case Mode::PlainAnswer:
        loginResult(s, plainMatches(line));
        return false;
    case Mode::CramAnswer:
        loginResult(s, testsupport::fromBase64(line) ==
                           testsupport::cramMd5Answer(kUser, kPassword, s.challenge));
        return false;
    default:
        break;
    }
    if (startsWithNoCase(line, "EHLO")) {
        const bool beforeTls = gOfferStartTls && s.ssl == nullptr;
        reply(s, std::string("250-bench-upstream\r\n250-PIPELINING\r\n") +
                     (beforeTls      ? "250-STARTTLS\r\n"
                      : gRequireAuth ? "250-AUTH LOGIN PLAIN CRAM-MD5\r\n"
                                     : "") +
                     "250 8BITMIME\r\n");
    } else if (gOfferStartTls && s.ssl == nullptr && startsWithNoCase(line, "STARTTLS")) {
        reply(s, "220 2.0.0 Ready to start TLS\r\n");
        s.startTls = true;
    } else if (startsWithNoCase(line, "HELO")) {
        reply(s, "250 bench-upstream\r\n");
    } else if (startsWithNoCase(line, "AUTH LOGIN")) {
        if (line.size() > 11) {
            s.mode = Mode::LoginUser;
            return handleLine(s, line.substr(11));
        }
        s.mode = Mode::LoginUser;
        reply(s, "334 VXNlcm5hbWU6\r\n");
    } else if (startsWithNoCase(line, "AUTH PLAIN")) {
        if (line.size() > 11) {
            loginResult(s, plainMatches(line.substr(11)));
        } else {
            s.mode = Mode::PlainAnswer;
            reply(s, "334 \r\n");
        }
    } else if (startsWithNoCase(line, "AUTH CRAM-MD5")) {
        s.challenge = "<" + std::to_string(getpid()) + "." + std::to_string(++gChallengeCounter) +
                      "@bench-upstream>";
        s.mode = Mode::CramAnswer;
        reply(s, "334 " + testsupport::toBase64(s.challenge) + "\r\n");
    } else if (startsWithNoCase(line, "MAIL FROM:")) {
        reply(s, gRequireAuth && !s.loggedIn ? "530 5.7.0 Authentication required\r\n"
                                             : "250 2.1.0 Ok\r\n");
    } else if (startsWithNoCase(line, "RCPT TO:")) {
        reply(s, "250 2.1.5 Ok\r\n");
    } else if (startsWithNoCase(line, "DATA")) {
        s.mode = Mode::Data;
        s.dataTail = "\r\n";
        s.dataBytes = 0;
        reply(s, "354 End data with <CR><LF>.<CR><LF>\r\n");
    } else if (startsWithNoCase(line, "RSET") || startsWithNoCase(line, "NOOP")) {
        reply(s, "250 2.0.0 Ok\r\n");
    } else if (startsWithNoCase(line, "QUIT")) {
        reply(s, "221 2.0.0 Bye\r\n");
        return true;
    } else {
        reply(s, "500 5.5.2 Error: command not recognized\r\n");
    }
    return false;
}

// Consumes message bytes up to and including the end mark; gives how many of the n bytes it
// took and sets *ended when the mark was among them.
std::size_t consumeData(Session& s, const char* p, std::size_t n, bool* ended) {
    static const char kMark[] = "\n.\r\n";
    *ended = false;
    // An end mark may begin in the bytes kept from the previous read.
    std::string window = s.dataTail + std::string(p, n < 3 ? n : 3);
    std::size_t at = window.find(kMark);
    const char* hit = nullptr;
    std::size_t used = n;
    if (at != std::string::npos) {
        used = at + 4 - s.dataTail.size();
        *ended = true;
    } else if ((hit = static_cast<const char*>(memmem(p, n, kMark, 4))) != nullptr) {
        used = static_cast<std::size_t>(hit - p) + 4;
        *ended = true;
    }
    s.dataBytes += used;
    std::string joined =
        s.dataTail + std::string(p + (used > 4 ? used - 4 : 0), used > 4 ? 4 : used);
    s.dataTail = joined.substr(joined.size() > 4 ? joined.size() - 4 : 0);
    return used;
}

// Gives false when the session was closed.
bool feed(Session& s, const char* p, std::size_t n) {
    while (n > 0) {
        if (s.mode == Mode::Data) {
            bool ended = false;
            std::size_t used = consumeData(s, p, n, &ended);
            p += used;
            n -= used;
            if (ended) {
                s.mode = Mode::Command;
                // The mark's ".\r\n" is not part of the message; the CR LF before it ends the
                // last message line and counts.
                reply(s, "250 2.0.0 Ok: queued bytes=" + std::to_string(s.dataBytes - 3) + "\r\n");
            }
            continue;
        }
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', n));
        if (!lf) {
            s.input.append(p, n);
            if (s.input.size() > 65536) {
                closeSession(s);
                return false;
            }
            break;
        }
        s.input.append(p, static_cast<std::size_t>(lf - p));
        n -= static_cast<std::size_t>(lf - p) + 1;
        p = lf + 1;
        if (!s.input.empty() && s.input.back() == '\r')
            s.input.pop_back();
        std::string line;
        line.swap(s.input);
        if (handleLine(s, line)) {
            flush(s);
            if (gSessions.count(s.socket))
                closeSession(s);
            return false;
        }
        if (s.startTls) {
            // What follows STARTTLS in plain text is not taken: TLS starts after the reply.
            s.input.clear();
            return flush(s);
        }
    }
    return flush(s);
}

void acceptAll(int listener) {
    for (;;) {
        int c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0)
            return;
        bench::setNoDelay(c);
        Session& s = gSessions[c];
        s = Session{};
        s.socket = c;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = c;
        epoll_ctl(gEpoll, EPOLL_CTL_ADD, c, &ev);
        if (gImplicitTls)
            beginTls(s);
        reply(s, "220 bench-upstream ESMTP\r\n");
        flush(s);
    }
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string certificate, key;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--auth") == 0)
            gRequireAuth = true;
        else if (std::strcmp(argv[i], "--tls") == 0)
            gImplicitTls = true;
        else if (std::strcmp(argv[i], "--starttls") == 0)
            gOfferStartTls = true;
        else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--cert") == 0 && i + 1 < argc)
            certificate = argv[++i];
        else if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc)
            key = argv[++i];
    }
    if (gImplicitTls || gOfferStartTls)
        gTls = bench::serverContext(certificate, key);
    std::signal(SIGPIPE, SIG_IGN);
    int bound = 0;
    int listener = bench::listenOn("127.0.0.1", port, &bound);
    bench::setNonBlocking(listener);
    gEpoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    epoll_ctl(gEpoll, EPOLL_CTL_ADD, listener, &ev);
    std::printf("port %d\n", bound);
    std::fflush(stdout);

    static char buffer[256 * 1024];
    epoll_event events[256];
    for (;;) {
        int count = epoll_wait(gEpoll, events, 256, -1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            bench::die("epoll_wait");
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                acceptAll(listener);
                continue;
            }
            auto it = gSessions.find(fd);
            if (it == gSessions.end())
                continue;
            Session& s = it->second;
            if (events[i].events & EPOLLOUT) {
                if (!flush(s))
                    continue;
            }
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                // A plain socket is read once per report; TLS is read until it holds nothing
                // more, since bytes inside the library do not make the socket readable.
                bool open = true;
                for (;;) {
                    long n = readSome(s, buffer, sizeof buffer);
                    if (n == -2)
                        break;
                    if (n <= 0) {
                        closeSession(s);
                        open = false;
                        break;
                    }
                    if (!feed(s, buffer, static_cast<std::size_t>(n))) {
                        open = false;
                        break;
                    }
                    if (s.ssl == nullptr)
                        break;
                }
                // A handshake that went on during the reads may let waiting replies go.
                if (open && s.ssl != nullptr)
                    flush(s);
            }
        }
    }
}
