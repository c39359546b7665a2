// Bulk relay: one session whose DATA carries a very large message, sent as fast as the path
// takes it. Times the message from its first byte to the server's reply to its end mark, and
// checks that the server received every byte.
//
// Usage: bench_bulk --port P --bytes N --from ADDRESS
// Prints "bytes <sent> seconds <elapsed>", or "fail <reason>" with exit status 1.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "BenchNet.h"

int main(int argc, char** argv) {
    int port = 0;
    unsigned long long wanted = 1000000000ULL;
    std::string from = "bulk@example.com";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--port")
            port = std::atoi(argv[i + 1]);
        else if (key == "--bytes")
            wanted = std::strtoull(argv[i + 1], nullptr, 10);
        else if (key == "--from")
            from = argv[i + 1];
    }
    auto fail = [](const std::string& why) {
        std::printf("fail %s\n", why.c_str());
        return 1;
    };
    int s = bench::connectTo("127.0.0.1", port);
    if (s < 0)
        return fail("connect");
    bench::LineReader reader(s);
    std::string last;
    if (reader.readReply() != 220)
        return fail("greeting");
    if (!bench::sendText(s, "HELO client.bench\r\n") || reader.readReply() != 250)
        return fail("helo");
    if (!bench::sendText(s, "MAIL FROM:<" + from + ">\r\n") || reader.readReply(&last) != 250)
        return fail("mail from: " + last);
    if (!bench::sendText(s, "RCPT TO:<sink@example.com>\r\n") || reader.readReply() != 250)
        return fail("rcpt");
    if (!bench::sendText(s, "DATA\r\n") || reader.readReply() != 354)
        return fail("data");

    // Lines of 998 letters and CR LF (the longest SMTP allows), 262 of them per send.
    const std::size_t lineLength = 1000;
    std::vector<char> block(262 * lineLength, 'X');
    for (std::size_t at = lineLength - 2; at < block.size(); at += lineLength) {
        block[at] = '\r';
        block[at + 1] = '\n';
    }
    unsigned long long lines = (wanted + lineLength - 1) / lineLength;
    unsigned long long total = lines * lineLength;
    auto start = std::chrono::steady_clock::now();
    for (unsigned long long sent = 0; sent < total;) {
        std::size_t piece =
            static_cast<std::size_t>(std::min<unsigned long long>(block.size(), total - sent));
        if (!bench::sendAll(s, block.data(), piece))
            return fail("send body");
        sent += piece;
    }
    if (!bench::sendText(s, ".\r\n") || reader.readReply(&last) != 250)
        return fail("end of data: " + last);
    double seconds = bench::secondsSince(start);
    std::string mark = "bytes=";
    std::size_t at = last.find(mark);
    unsigned long long received =
        at == std::string::npos ? 0 : std::strtoull(last.c_str() + at + mark.size(), nullptr, 10);
    if (received != total)
        return fail("server got " + std::to_string(received) + " of " + std::to_string(total) +
                    " bytes");
    bench::sendText(s, "QUIT\r\n");
    reader.readReply();
    ::close(s);
    std::printf("bytes %llu seconds %.6f\n", total, seconds);
    return 0;
}
