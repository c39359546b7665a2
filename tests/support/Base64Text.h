// Base64 of whole strings through the engine's codec, for building and checking login lines in
// tests. Any thread.
#pragma once

#include <string>

namespace testsupport {

std::string toBase64(const std::string& bytes);
// Faulty text gives the bytes decoded before its fault.
std::string fromBase64(const std::string& text);

} // namespace testsupport
