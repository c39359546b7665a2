// Comparisons on command and reply lines. Letters compare without regard to case, one byte at a
// time (ASCII only, so multi-byte text is compared byte for byte).
#include <cstring>

#include "server/Server.h"

namespace {

unsigned char upper(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

bool sameLetters(const char* a, const char* b, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
        if (a[i] == '\0') {
            return true;
        }
    }
    return true;
}

} // namespace

int replyCode(const char* line) {
    int code = 0;
    bool ended = false;
    for (int i = 0; i < 3; ++i) {
        // A line shorter than three bytes reads as NUL from its end on, never past it.
        const signed char digit = ended ? 0 : static_cast<signed char>(line[i]);
        ended = ended || line[i] == '\0';
        code = code * 10 + (digit - '0');
    }
    return code;
}

bool isCommand(const char* line, const char* word) {
    const std::size_t length = std::strlen(word);
    if (std::strlen(line) < length) {
        return false;
    }
    return sameLetters(line, word, length);
}

const char* findText(const char* text, const char* word) {
    const std::size_t length = std::strlen(word);
    if (length == 0) {
        return nullptr;
    }
    for (const char* at = text; *at != '\0'; ++at) {
        if (upper(*at) == upper(*word) && sameLetters(at, word, length) &&
            std::strlen(at) >= length) {
            return at;
        }
    }
    return nullptr;
}

bool matchTail(const char* line, const char* domain) {
    std::size_t lineEnd = std::strlen(line);
    // Trailing blanks, control bytes and (taken as signed) bytes 0x80..0xFF are ignored.
    while (lineEnd > 0 && static_cast<signed char>(line[lineEnd - 1]) <= 32) {
        --lineEnd;
    }
    std::size_t domainEnd = std::strlen(domain);
    while (lineEnd > 0 && domainEnd > 0) {
        if (upper(line[lineEnd - 1]) != upper(domain[domainEnd - 1])) {
            return false;
        }
        --lineEnd;
        --domainEnd;
    }
    return true;
}

void firstWord(const char* line, char* output, std::size_t capacity) {
    if (capacity == 0) {
        return;
    }
    output[0] = '\0';
    const char* at = std::strchr(line, ' ');
    if (at == nullptr) {
        return;
    }
    while (*at == ' ') {
        ++at;
    }
    std::size_t length = 0;
    // Bytes 0x80 and above belong to the word; space, tab and control bytes end it.
    while (length + 1 < capacity && static_cast<unsigned char>(at[length]) >= 0x21) {
        output[length] = at[length];
        ++length;
    }
    output[length] = '\0';
}
