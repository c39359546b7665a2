// TLS towards the upstream server: the trust an entry asks for, the contexts built from it, and
// one TLS connection over a connected upstream socket.
//
// Threads: a TlsLink belongs to the session thread that made it (or to whoever it is handed to,
// one thread at a time). TlsContexts is shared by every session; its lookups lock.
// Failure is reported by results (nullptr, false, TlsIo::Failed) and a text for the trace, never
// by exceptions. No text made here holds a secret.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

// What decides whether the server is accepted.
struct TlsPolicy {
    std::string serverName;  // the entry's server: a host name, or an IPv4/IPv6 literal
    std::string caFile;      // trust only these certificates; empty: the system store
    std::string fingerprint; // 64 lower-case hex digits (normaliseFingerprint); when set, only
                             // this certificate is accepted, whatever its chain and name
};

// The fingerprint setting as 64 lower-case hex digits, colons and letter case ignored. Gives
// false when the setting is neither empty nor exactly 64 hex digits.
bool normaliseFingerprint(const std::string& setting, std::string& normalised);

// Client contexts, one per trust source, built once and shared: loading the system store costs
// milliseconds that a session start should not pay every time. A CA file that changed on disk
// is loaded again.
class TlsContexts {
  public:
    TlsContexts() = default;
    TlsContexts(const TlsContexts&) = delete;
    TlsContexts& operator=(const TlsContexts&) = delete;

    // The context that trusts `caFile` alone, or the system store (OpenSSL's default verify
    // paths, so SSL_CERT_FILE and SSL_CERT_DIR apply) when it is empty. nullptr with `error` set
    // when the file cannot be loaded.
    std::shared_ptr<ssl_ctx_st> get(const std::string& caFile, std::string& error);

  private:
    struct Cached {
        std::shared_ptr<ssl_ctx_st> context;
        long long stamp = 0; // modification time and size of the CA file when it was loaded
    };
    std::mutex mutex_;
    std::map<std::string, Cached> cache_;
};

// Outcome of one non-blocking TLS read or write.
enum class TlsIo {
    Done,      // bytes moved
    WantRead,  // nothing yet: wait until the socket is readable, then call again
    WantWrite, // wait until the socket is writable, then call again
    Closed,    // the server ended the TLS stream (close_notify, or its TCP close)
    Failed,    // protocol or socket failure; error() tells
};

// One TLS connection over a connected, non-blocking socket. Does not own the socket.
class TlsLink {
  public:
    ~TlsLink();
    TlsLink(const TlsLink&) = delete;
    TlsLink& operator=(const TlsLink&) = delete;

    // Runs the handshake on `socket` (made non-blocking here) within `timeoutMillis` and checks
    // the server against `policy`. nullptr with `error` set (the verification error with the
    // certificate's subject and fingerprint, the handshake failure, or "timed out") when the
    // server is not accepted; nothing but the handshake has then crossed the socket.
    static std::unique_ptr<TlsLink> connect(int socket, const TlsPolicy& policy,
                                            TlsContexts& contexts, int timeoutMillis,
                                            std::string& error);

    // Non-blocking: `done` is the number of bytes read, peeked at or written on Done.
    TlsIo read(char* into, std::size_t capacity, std::size_t& done);
    TlsIo peek(char* into, std::size_t capacity, std::size_t& done);
    TlsIo write(const char* bytes, std::size_t length, std::size_t& done);

    // True while the TLS layer holds bytes the socket no longer shows: read them before waiting
    // on the socket again, or the relay stalls.
    bool hasBuffered() const;
    // True when the last read or write could not go on until the socket is writable.
    bool wantsWrite() const { return wantsWrite_; }
    // Sends close_notify, without waiting for the server's; best effort.
    void shutdown();

    // Protocol and cipher, for the trace ("TLSv1.3 TLS_AES_256_GCM_SHA384").
    std::string description() const;
    // The last failure, for the trace.
    const std::string& error() const { return error_; }

  private:
    explicit TlsLink(ssl_st* ssl) : ssl_(ssl) {}
    TlsIo outcome(int result);
    TlsIo transfer(int (*call)(ssl_st*, void*, std::size_t, std::size_t*), void* bytes,
                   std::size_t length, std::size_t& done);

    ssl_st* ssl_;
    std::string error_;
    bool shutDown_ = false;
    bool wantsWrite_ = false;
    bool broken_ = false; // after a fatal error the library must not send close_notify
};
