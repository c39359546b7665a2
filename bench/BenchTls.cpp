#include "BenchTls.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "BenchNet.h"

namespace bench {

SSL_CTX* serverContext(const std::string& certificateFile, const std::string& keyFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        die("TLS server context from " + certificateFile);
    }
    // The server's reply buffer moves as it grows and is written as far as the socket takes.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

SSL_CTX* clientContext(const std::string& caFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr ||
        SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        ERR_print_errors_fp(stderr);
        die("TLS client context with " + caFile);
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    return context;
}

SSL* connectTls(SSL_CTX* context, int socket) {
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr) {
        return nullptr;
    }
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    if (SSL_set_fd(ssl, socket) != 1 || SSL_connect(ssl) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

bool sendTls(SSL* ssl, const std::string& text) {
    std::size_t written = 0;
    return SSL_write_ex(ssl, text.data(), text.size(), &written) == 1 && written == text.size();
}

} // namespace bench
