// Wiping secrets (passwords, tokens, credentials) out of memory that is about to be freed or
// reused. explicit_bzero, because a plain fill before a free may be optimised away.
// Any thread; never fails.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

inline void Wipe(void* bytes, std::size_t length) {
    explicit_bzero(bytes, length);
}

// Wipes the text's bytes and leaves it empty.
inline void Wipe(std::string& text) {
    explicit_bzero(text.data(), text.size());
    text.clear();
}
