// TLS towards the upstream server, on OpenSSL: trust contexts, the handshake with its checks, and
// non-blocking reads and writes.
#include "server/Tls.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

constexpr std::size_t kFingerprintDigits = 64;

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// SHA-256 of the certificate's DER bytes as lower-case hex.
std::string fingerprintOf(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

// The fingerprint as `openssl x509 -fingerprint -sha256` shows it, so a user can compare them.
std::string fingerprintForTrace(const std::string& hex) {
    std::string text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (!text.empty()) {
            text += ':';
        }
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i + 1])));
    }
    return text;
}

std::string subjectOf(X509* certificate) {
    if (certificate == nullptr) {
        return {};
    }
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr) {
        return {};
    }
    X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string text(data != nullptr && length > 0 ? data : "",
                     length > 0 ? static_cast<std::size_t>(length) : 0);
    BIO_free(out);
    return text;
}

// The library's newest error as text, and the queue emptied.
std::string libraryError(const char* fallback) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) {
        return fallback;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// What the certificate check saw during one handshake: the server's certificate and the first
// verification error.
struct VerifyNote {
    bool pinned = false; // a fingerprint decides: chain and name errors do not end the handshake
    int error = X509_V_OK;
    int depth = 0;
    std::string subject;
    std::string fingerprint;
};

int verifyNoteIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int noteVerification(int preverified, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* note = ssl != nullptr ? static_cast<VerifyNote*>(SSL_get_ex_data(ssl, verifyNoteIndex()))
                                : nullptr;
    if (note == nullptr) {
        return preverified;
    }
    if (note->subject.empty()) {
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        note->subject = subjectOf(leaf);
        note->fingerprint = fingerprintOf(leaf);
    }
    if (preverified == 0 && note->error == X509_V_OK) {
        note->error = X509_STORE_CTX_get_error(store);
        note->depth = X509_STORE_CTX_get_error_depth(store);
    }
    return note->pinned ? 1 : preverified;
}

bool isAddressLiteral(const std::string& name) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, name.c_str(), address) == 1 ||
           inet_pton(AF_INET6, name.c_str(), address) == 1;
}

bool makeNonBlocking(int socket) {
    const int flags = fcntl(socket, F_GETFL);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Waits for `events` on the socket until the deadline; false when it passed or waiting failed.
bool waitFor(int socket, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{socket, events, 0};
        const int count = poll(&entry, 1, static_cast<int>(left.count()));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return count > 0;
    }
}

long long fileStamp(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return -1;
    }
    return static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec +
           static_cast<long long>(status.st_size) * 7919;
}

std::shared_ptr<SSL_CTX> newContext(const std::string& caFile, std::string& error) {
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context) {
        error = libraryError("cannot make a TLS context");
        return nullptr;
    }
    SSL_CTX* raw = context.get();
    SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
    // Many SMTP servers close the TCP connection after 221 without close_notify; SMTP marks the
    // end of its data itself, so that is an ordinary end here, not a truncation.
    SSL_CTX_set_options(raw, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, noteVerification);
    ERR_clear_error();
    const bool loaded = caFile.empty()
                            ? SSL_CTX_set_default_verify_paths(raw) == 1
                            : SSL_CTX_load_verify_locations(raw, caFile.c_str(), nullptr) == 1;
    if (!loaded) {
        error = "CA file " + caFile + ": " + libraryError("no certificate could be read");
        return nullptr;
    }
    return context;
}

} // namespace

bool normaliseFingerprint(const std::string& setting, std::string& normalised) {
    normalised.clear();
    for (const char c : setting) {
        if (c == ':') {
            continue;
        }
        if (!isHexDigit(c)) {
            normalised.clear();
            return false;
        }
        normalised += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (!normalised.empty() && normalised.size() != kFingerprintDigits) {
        normalised.clear();
        return false;
    }
    return true;
}

std::shared_ptr<SSL_CTX> TlsContexts::get(const std::string& caFile, std::string& error) {
    const long long stamp = caFile.empty() ? 0 : fileStamp(caFile);
    std::lock_guard lock(mutex_);
    auto found = cache_.find(caFile);
    if (found != cache_.end() && found->second.stamp == stamp) {
        return found->second.context;
    }
    std::shared_ptr<SSL_CTX> context = newContext(caFile, error);
    if (context) {
        cache_[caFile] = Cached{context, stamp};
    }
    return context;
}

TlsLink::~TlsLink() {
    SSL_free(ssl_);
}

std::unique_ptr<TlsLink> TlsLink::connect(int socket, const TlsPolicy& policy,
                                          TlsContexts& contexts, int timeoutMillis,
                                          std::string& error) {
    std::shared_ptr<SSL_CTX> context = contexts.get(policy.caFile, error);
    if (!context) {
        return nullptr;
    }
    if (!makeNonBlocking(socket)) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    SSL* ssl = SSL_new(context.get());
    if (ssl == nullptr || SSL_set_fd(ssl, socket) != 1) {
        SSL_free(ssl);
        error = libraryError("cannot start TLS");
        return nullptr;
    }
    std::unique_ptr<TlsLink> link(new TlsLink(ssl));

    VerifyNote note;
    note.pinned = !policy.fingerprint.empty();
    SSL_set_ex_data(ssl, verifyNoteIndex(), &note);
    if (isAddressLiteral(policy.serverName)) {
        // No SNI for an address; the certificate must name the address itself.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), policy.serverName.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, policy.serverName.c_str());
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, policy.serverName.c_str());
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_connect(ssl);
        if (result == 1) {
            break;
        }
        const int failure = SSL_get_error(ssl, result);
        const int systemError = errno;
        if (failure == SSL_ERROR_WANT_READ || failure == SSL_ERROR_WANT_WRITE) {
            if (!waitFor(socket, failure == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
                error = "TLS handshake timed out";
                link->broken_ = true;
                SSL_set_ex_data(ssl, verifyNoteIndex(), nullptr);
                return nullptr;
            }
            continue;
        }
        link->broken_ = true;
        if (note.error != X509_V_OK) {
            error = std::string("certificate not accepted: ") +
                    X509_verify_cert_error_string(note.error) + " (depth " +
                    std::to_string(note.depth) + "); subject=" + note.subject +
                    "; sha256=" + fingerprintForTrace(note.fingerprint);
        } else if (failure == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
            error = systemError != 0 ? std::string("TLS handshake: ") + std::strerror(systemError)
                                     : "TLS handshake: the server closed the connection";
        } else {
            error = "TLS handshake: " + libraryError("failed");
        }
        SSL_set_ex_data(ssl, verifyNoteIndex(), nullptr);
        return nullptr;
    }
    SSL_set_ex_data(ssl, verifyNoteIndex(), nullptr);

    if (note.pinned) {
        const std::string seen = fingerprintOf(SSL_get0_peer_certificate(ssl));
        if (seen != policy.fingerprint) {
            error = "certificate fingerprint does not match; subject=" +
                    subjectOf(SSL_get0_peer_certificate(ssl)) +
                    "; sha256=" + fingerprintForTrace(seen);
            // Nothing but the handshake has crossed; the connection is dropped without a word.
            link->broken_ = true;
            return nullptr;
        }
    }
    return link;
}

TlsIo TlsLink::outcome(int result) {
    const int systemError = errno;
    const int failure = SSL_get_error(ssl_, result);
    wantsWrite_ = failure == SSL_ERROR_WANT_WRITE;
    switch (failure) {
    case SSL_ERROR_WANT_READ:
        return TlsIo::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TlsIo::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return TlsIo::Closed;
    case SSL_ERROR_SYSCALL:
        broken_ = true;
        if (ERR_peek_error() == 0 && systemError == 0) {
            return TlsIo::Closed;
        }
        error_ = ERR_peek_error() != 0 ? libraryError("TLS failure") : std::strerror(systemError);
        return TlsIo::Failed;
    default:
        broken_ = true;
        error_ = libraryError("TLS failure");
        return TlsIo::Failed;
    }
}

TlsIo TlsLink::transfer(int (*call)(SSL*, void*, std::size_t, std::size_t*), void* bytes,
                        std::size_t length, std::size_t& done) {
    ERR_clear_error();
    errno = 0;
    done = 0;
    const int result = call(ssl_, bytes, length, &done);
    if (result == 1) {
        wantsWrite_ = false;
        return TlsIo::Done;
    }
    return outcome(result);
}

TlsIo TlsLink::read(char* into, std::size_t capacity, std::size_t& done) {
    return transfer(SSL_read_ex, into, capacity, done);
}

TlsIo TlsLink::peek(char* into, std::size_t capacity, std::size_t& done) {
    return transfer(SSL_peek_ex, into, capacity, done);
}

TlsIo TlsLink::write(const char* bytes, std::size_t length, std::size_t& done) {
    // SSL_write_ex takes its bytes as const; the shared signature only passes them through.
    const auto writeCall = [](SSL* ssl, void* data, std::size_t count, std::size_t* written) {
        return SSL_write_ex(ssl, data, count, written);
    };
    return transfer(writeCall, const_cast<char*>(bytes), length, done);
}

bool TlsLink::hasBuffered() const {
    return SSL_has_pending(ssl_) == 1;
}

void TlsLink::shutdown() {
    if (shutDown_ || broken_) {
        return;
    }
    shutDown_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

std::string TlsLink::description() const {
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}
