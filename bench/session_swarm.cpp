// Many sessions at once, driven by one epoll loop.
//
//   burst: opens every connection at once and times each one until its greeting line.
//          Prints one line per connection: microseconds, or "fail <reason>"; then the first
//          greeting text as "greeting <text>".
//   idle:  takes every session through HELO and MAIL FROM (the proxy's hand-over) and leaves
//          it open, relaying nothing. Prints "ready ok=N fail=M seconds=S", waits for a line
//          on standard input, closes them all and prints "closed".
//
// Usage: bench_swarm --mode burst|idle --port P --count N [--from ADDRESS]
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "BenchNet.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Step { Greeting, Helo, MailFrom, Done, Failed };

struct Connection {
    int socket = -1;
    Step step = Step::Greeting;
    Clock::time_point start;
    double micros = 0;
    std::string input;
    std::string failure;
    std::string greeting;
};

int openNonBlocking(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    bench::setNoDelay(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(s);
        return -1;
    }
    return s;
}

struct Swarm {
    bool idle = false;
    int port = 0;
    std::string from;
    std::vector<Connection> connections;
    int epoll = -1;
    int open = 0;     // connections started
    int finished = 0; // reached Done or Failed

    void start(std::size_t index) {
        Connection& c = connections[index];
        c.start = Clock::now();
        c.socket = openNonBlocking(port);
        ++open;
        if (c.socket < 0) {
            fail(c, "connect");
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = index;
        epoll_ctl(epoll, EPOLL_CTL_ADD, c.socket, &ev);
    }

    void fail(Connection& c, const std::string& why) {
        c.step = Step::Failed;
        c.failure = why;
        ++finished;
    }

    void advance(Connection& c, const std::string& line) {
        int code = line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : -1;
        if (line.size() >= 4 && line[3] == '-')
            return; // continuation
        switch (c.step) {
        case Step::Greeting:
            c.greeting = line;
            if (code != 220)
                return fail(c, "greeting: " + line);
            if (!idle) {
                c.micros = bench::secondsSince(c.start) * 1e6;
                c.step = Step::Done;
                ++finished;
                return;
            }
            c.step = Step::Helo;
            bench::sendText(c.socket, "HELO client.bench\r\n");
            return;
        case Step::Helo:
            if (code != 250)
                return fail(c, "helo: " + line);
            c.step = Step::MailFrom;
            bench::sendText(c.socket, "MAIL FROM:<" + from + ">\r\n");
            return;
        case Step::MailFrom:
            if (code != 250)
                return fail(c, "mail from: " + line);
            c.micros = bench::secondsSince(c.start) * 1e6;
            c.step = Step::Done;
            ++finished;
            return;
        default:
            return;
        }
    }

    void readable(Connection& c) {
        char buffer[4096];
        ssize_t n = ::recv(c.socket, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            if (c.step != Step::Done && c.step != Step::Failed)
                fail(c, "closed by peer");
            epoll_ctl(epoll, EPOLL_CTL_DEL, c.socket, nullptr);
            return;
        }
        c.input.append(buffer, static_cast<std::size_t>(n));
        std::size_t lf;
        while ((lf = c.input.find('\n')) != std::string::npos) {
            std::string line = c.input.substr(0, lf);
            c.input.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (c.step == Step::Done || c.step == Step::Failed)
                continue;
            advance(c, line);
        }
    }

    // Runs until every connection is done or failed, or `limitSeconds` pass.
    void run(int inFlight, double limitSeconds) {
        auto begin = Clock::now();
        std::size_t next = 0;
        epoll_event events[512];
        while (finished < static_cast<int>(connections.size())) {
            while (next < connections.size() && open - finished < inFlight)
                start(next++);
            if (bench::secondsSince(begin) > limitSeconds)
                break;
            int n = epoll_wait(epoll, events, 512, 100);
            for (int i = 0; i < n; ++i) {
                Connection& c = connections[events[i].data.u64];
                readable(c);
            }
        }
        for (Connection& c : connections)
            if (c.step != Step::Done && c.step != Step::Failed)
                fail(c, "timed out");
    }
};

} // namespace

int main(int argc, char** argv) {
    Swarm swarm;
    int count = 200;
    std::string mode = "burst";
    swarm.from = "idle@example.com";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--port")
            swarm.port = std::atoi(argv[i + 1]);
        else if (key == "--count")
            count = std::atoi(argv[i + 1]);
        else if (key == "--mode")
            mode = argv[i + 1];
        else if (key == "--from")
            swarm.from = argv[i + 1];
    }
    swarm.idle = mode == "idle";
    swarm.connections.resize(static_cast<std::size_t>(count));
    swarm.epoll = epoll_create1(EPOLL_CLOEXEC);
    auto begin = Clock::now();
    // A burst starts everything at once; idle sessions are opened 100 at a time so that the
    // figure taken afterwards is about holding sessions, not about a connection storm.
    swarm.run(swarm.idle ? 100 : count, 60.0);
    double seconds = bench::secondsSince(begin);

    int ok = 0;
    for (const Connection& c : swarm.connections)
        ok += c.step == Step::Done;
    if (!swarm.idle) {
        for (const Connection& c : swarm.connections) {
            if (c.step == Step::Done)
                std::printf("%.1f\n", c.micros);
            else
                std::printf("fail %s\n", c.failure.c_str());
        }
        for (const Connection& c : swarm.connections)
            if (!c.greeting.empty()) {
                std::printf("greeting %s\n", c.greeting.c_str());
                break;
            }
        return 0;
    }
    std::printf("ready ok=%d fail=%d seconds=%.3f\n", ok, count - ok, seconds);
    for (const Connection& c : swarm.connections)
        if (c.step == Step::Failed) {
            std::printf("first failure: %s\n", c.failure.c_str());
            break;
        }
    std::fflush(stdout);
    char line[64];
    if (!std::fgets(line, sizeof line, stdin)) {
        // The harness went away; close anyway.
    }
    for (Connection& c : swarm.connections)
        if (c.socket >= 0)
            ::close(c.socket);
    std::printf("closed\n");
    return 0;
}
