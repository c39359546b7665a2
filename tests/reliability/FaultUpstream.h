// A scriptable upstream SMTP server on loopback: a correct server with AUTH LOGIN, PLAIN and
// CRAM-MD5 that, at one chosen reply, misbehaves in a chosen way (closes, stalls, answers
// 4xx/5xx, sends junk, sends its reply one byte at a time, or sends a 3000-byte line).
// Each connection runs on a thread of its own; waitIdle joins them, so a test can count the
// process's threads and descriptors afterwards.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Every reply the server gives, by the point of the dialogue it answers.
enum class UpStep {
    None,
    Greeting,     // 220 on connect
    EhloReply,    // 250 multi-line reply to EHLO
    HeloReply,    // 250 reply to HELO
    AuthFirst,    // first 334 (LOGIN user prompt, CRAM-MD5 challenge)
    AuthSecond,   // second 334 (LOGIN password prompt)
    AuthResult,   // 235
    MailReply,    // reply to MAIL FROM
    RcptReply,    // reply to RCPT TO
    DataReply,    // 354
    MessageReply, // 250 after the message's final dot
    QuitReply,    // 221, then close
};

enum class Fault {
    None,
    Close,       // close the connection instead of replying
    Stall,       // never reply; wait until the peer closes
    Temporary,   // "451 ..." instead of the reply
    Permanent,   // "554 ..." instead of the reply
    Junk,        // a line of binary garbage without a reply code
    SingleBytes, // the correct reply, one byte per send
    LongLine,    // a 3000-byte line with the expected code
};

const char* stepName(UpStep step);
const char* faultName(Fault fault);

// The bytes sent instead of the reply `correct` for the faults that send something.
std::string faultBytes(Fault fault, const std::string& correct);

struct UpstreamPlan {
    UpStep step = UpStep::None;
    Fault fault = Fault::None;
    // The EHLO reply: its lines, the last without the hyphen.
    std::vector<std::string> ehloLines = {"250-upstream.test", "250-AUTH LOGIN PLAIN CRAM-MD5",
                                          "250 8BITMIME"};
    std::chrono::milliseconds greetingDelay{0};
    // Off for bulk traffic: only the messages are kept then.
    bool keepReceived = true;
};

// What one connection saw; filled by its thread.
struct UpstreamConnection {
    std::mutex mutex;
    std::string received;              // every byte from the proxy
    std::vector<std::string> messages; // message bytes as sent, final dot line excluded
    std::string loggedInAs;            // user of a login that succeeded
    bool peerClosed = false;           // the proxy closed its end
    std::atomic<bool> hungUpByUs{false};
    std::atomic<bool> finished{false};
    int socket = -1;

    // Ends the connection from this side, as a server that gives up would.
    void hangUp();
};

class FaultUpstream {
  public:
    FaultUpstream(std::string user, std::string password);
    ~FaultUpstream();
    FaultUpstream(const FaultUpstream&) = delete;
    FaultUpstream& operator=(const FaultUpstream&) = delete;

    int port() const { return port_; }
    // Applies to connections accepted from now on.
    void setPlan(const UpstreamPlan& plan);
    // The next connection accepted after the last call, or nullptr when none came in time.
    std::shared_ptr<UpstreamConnection> nextConnection(std::chrono::milliseconds timeout);
    // Number of connections accepted so far.
    int accepted() const { return accepted_.load(); }
    // Waits until every connection has ended, and joins their threads.
    bool waitIdle(std::chrono::milliseconds timeout);

    static constexpr const char* kChallenge = "<1896.697170952@upstream.test>";

  private:
    void acceptLoop();
    void serve(std::shared_ptr<UpstreamConnection> connection, UpstreamPlan plan);

    std::string user_;
    std::string password_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    UpstreamPlan plan_;
    std::vector<std::shared_ptr<UpstreamConnection>> connections_;
    std::size_t handedOut_ = 0;
    std::vector<std::thread> threads_;
};
