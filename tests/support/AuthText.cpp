#include "AuthText.h"

#include <cstdio>

#include "codec/Base64.h"
#include "codec/Hmac.h"

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

std::string cramMd5Answer(const std::string& user, const std::string& password,
                          const std::string& challenge) {
    unsigned char digest[16];
    HmacMd5(reinterpret_cast<const unsigned char*>(challenge.data()),
            static_cast<int>(challenge.size()),
            reinterpret_cast<const unsigned char*>(password.data()),
            static_cast<int>(password.size()), digest);
    std::string answer = user + ' ';
    char hex[3];
    for (const unsigned char byte : digest) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        answer += hex;
    }
    return answer;
}

} // namespace testsupport
