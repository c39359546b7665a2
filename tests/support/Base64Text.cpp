#include "Base64Text.h"

#include "codec/Base64.h"

namespace testsupport {

std::string toBase64(const std::string& bytes) {
    std::string out(Base64EncodedSize(bytes.size()), '\0');
    Base64EncodeBytes(bytes.data(), out.data(), static_cast<int>(bytes.size()), out.size());
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

std::string fromBase64(const std::string& text) {
    std::string out(Base64DecodedSize(text.size()), '\0');
    std::size_t length = 0;
    Base64Decode(text.c_str(), reinterpret_cast<unsigned char*>(out.data()), out.size(), &length);
    out.resize(length);
    return out;
}

} // namespace testsupport
