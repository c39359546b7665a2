// Hand-over latency: times connect -> reply to MAIL FROM, one session after another.
//
// Through the proxy the client speaks plain SMTP (HELO, MAIL FROM) and the proxy logs in
// upstream; directly, the same client does the upstream's AUTH exchange itself, and with
// --starttls CAFILE also the STARTTLS exchange and the TLS handshake before it (verifying the
// server against CAFILE, as the proxy does). Each command leaves in one send with TCP_NODELAY,
// so any wait on a delayed ACK belongs to the other side.
//
// Usage: bench_handover --port P --count N --path proxy|direct --method none|login|plain|cram
//                       --from ADDRESS [--starttls CAFILE]
// Prints one line per session: the microseconds taken, or "fail <reason>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <functional>

#include "AuthText.h"
#include "BenchNet.h"
#include "BenchTls.h"

namespace {

const std::string kUser = "benchuser";
const std::string kPassword = "bench-secret";

using Send = std::function<bool(const std::string&)>;

bool expect(bench::LineReader& reader, int code, std::string* last = nullptr) {
    return reader.readReply(last) == code;
}

// EHLO, STARTTLS and the handshake, as the proxy does them; gives a reason on failure.
std::string startTls(int s, bench::LineReader& reader, SSL_CTX* context, SSL** ssl) {
    std::string all;
    if (!bench::sendText(s, "EHLO client.bench\r\n") || reader.readReply(nullptr, &all) != 250)
        return "ehlo before tls";
    if (all.find("STARTTLS") == std::string::npos)
        return "no STARTTLS offered";
    if (!bench::sendText(s, "STARTTLS\r\n") || !expect(reader, 220) || reader.buffered())
        return "starttls";
    *ssl = bench::connectTls(context, s);
    if (*ssl == nullptr)
        return "tls handshake";
    reader.useTls(*ssl);
    return "";
}

// The upstream login done by the client itself; gives a reason on failure, "" when logged in.
std::string login(const Send& sendText, bench::LineReader& reader, const std::string& method) {
    std::string last;
    if (!sendText("EHLO client.bench\r\n") || !expect(reader, 250))
        return "ehlo";
    if (method == "login") {
        if (!sendText("AUTH LOGIN\r\n") || !expect(reader, 334))
            return "auth login";
        if (!sendText(testsupport::toBase64(kUser) + "\r\n") || !expect(reader, 334))
            return "login user";
        if (!sendText(testsupport::toBase64(kPassword) + "\r\n") || !expect(reader, 235))
            return "login password";
    } else if (method == "plain") {
        std::string message = kUser + '\0' + kUser + '\0' + kPassword;
        if (!sendText("AUTH PLAIN " + testsupport::toBase64(message) + "\r\n") ||
            !expect(reader, 235))
            return "auth plain";
    } else if (method == "cram") {
        if (!sendText("AUTH CRAM-MD5\r\n") || !expect(reader, 334, &last))
            return "auth cram-md5";
        std::string answer = testsupport::toBase64(
            testsupport::cramMd5Answer(kUser, kPassword, testsupport::fromBase64(last.substr(4))));
        if (!sendText(answer + "\r\n") || !expect(reader, 235))
            return "cram answer";
    } else {
        return "unknown method " + method;
    }
    return "";
}

std::string session(int port, bool proxy, const std::string& method, const std::string& from,
                    SSL_CTX* tls) {
    int s = bench::connectTo("127.0.0.1", port);
    if (s < 0)
        return "connect";
    bench::LineReader reader(s);
    SSL* ssl = nullptr;
    const Send sendText = [&](const std::string& text) {
        return ssl != nullptr ? bench::sendTls(ssl, text) : bench::sendText(s, text);
    };
    std::string failure;
    if (!expect(reader, 220)) {
        failure = "greeting";
    } else if (!proxy && tls != nullptr) {
        failure = startTls(s, reader, tls, &ssl);
    }
    if (!failure.empty()) {
    } else if (proxy || method == "none") {
        if (!sendText("HELO client.bench\r\n") || !expect(reader, 250))
            failure = "helo";
    } else {
        failure = login(sendText, reader, method);
    }
    std::string last;
    if (failure.empty()) {
        if (!sendText("MAIL FROM:<" + from + ">\r\n"))
            failure = "send mail from";
        else if (reader.readReply(&last) != 250)
            failure = "mail from: " + last;
    }
    sendText("QUIT\r\n");
    if (ssl != nullptr)
        SSL_free(ssl);
    ::close(s);
    return failure;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    int count = 500;
    bool proxy = true;
    std::string method = "none";
    std::string from = "sender@example.com";
    SSL_CTX* tls = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        std::string value = argv[i + 1];
        if (key == "--port")
            port = std::atoi(value.c_str());
        else if (key == "--count")
            count = std::atoi(value.c_str());
        else if (key == "--path")
            proxy = value == "proxy";
        else if (key == "--method")
            method = value;
        else if (key == "--from")
            from = value;
        else if (key == "--starttls")
            tls = bench::clientContext(value);
    }
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        std::string failure = session(port, proxy, method, from, tls);
        double micros = bench::secondsSince(start) * 1e6;
        if (failure.empty())
            std::printf("%.1f\n", micros);
        else
            std::printf("fail %s\n", failure.c_str());
    }
    return 0;
}
