// TLS for the benchmark peers, on OpenSSL: a server context from a certificate and its key, a
// client context that trusts one CA file, and a blocking client handshake. Failures to set up
// end the program (die); a handshake that fails gives nullptr.
#pragma once

#include <string>

#include <openssl/ssl.h>

namespace bench {

SSL_CTX* serverContext(const std::string& certificateFile, const std::string& keyFile);
// Verifies the server's chain against `caFile` and its certificate against the address
// 127.0.0.1, as the proxy does for an entry whose server is that address.
SSL_CTX* clientContext(const std::string& caFile);
// Client handshake on a connected blocking socket; the SSL object, or nullptr.
SSL* connectTls(SSL_CTX* context, int socket);
bool sendTls(SSL* ssl, const std::string& text);

} // namespace bench
