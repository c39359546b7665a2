// Login texts for tests, made with the engine's codec: Base64 of whole strings and the CRAM-MD5
// answer. Any thread.
#pragma once

#include <string>

namespace testsupport {

std::string toBase64(const std::string& bytes);
// Faulty text gives the bytes decoded before its fault.
std::string fromBase64(const std::string& text);
// The decoded CRAM-MD5 answer to `challenge`: the user, a space and the HMAC-MD5 in lower-case hex.
std::string cramMd5Answer(const std::string& user, const std::string& password,
                          const std::string& challenge);

} // namespace testsupport
