// Base64 (RFC 4648, section 4) without line breaks, into caller-provided buffers.
//
// Used by the settings file (stored passwords) and by the upstream login (LOGIN, PLAIN and
// CRAM-MD5 texts). Pure functions: any thread may call them at once.
//
// Every operation takes the destination's capacity in bytes, terminating 0 included, and never
// writes past it. Size the destination with Base64EncodedSize / Base64DecodedSize.
// Failure is reported by the result: the encoders give false when the destination is too small
// (what fits is written in whole groups of four and terminated); the decoder gives -1 for any
// fault in its source or a destination too small (what was decoded stays, terminated).
#pragma once

#include <cstddef>

// Capacity needed to encode n bytes: 4 characters per started group of 3, plus the 0 byte.
constexpr std::size_t Base64EncodedSize(std::size_t n) {
    return 4 * ((n + 2) / 3) + 1;
}
// Capacity needed to decode a text of `length` characters: 3 bytes per started group, plus 0.
constexpr std::size_t Base64DecodedSize(std::size_t length) {
    return 3 * ((length + 3) / 4) + 1;
}

// Encodes the bytes of the NUL-terminated `source` (its 0 byte not included).
bool Base64EncodeText(const char* source, char* destination, std::size_t capacity);

// Encodes exactly `count` bytes of `source`; 0 bytes are data. A count of 0 or less gives "".
bool Base64EncodeBytes(const void* source, char* destination, int count, std::size_t capacity);

// Decodes the NUL-terminated Base64 `source`. Gives 0 on success, -1 on failure; in both cases
// the destination holds the bytes decoded so far followed by a 0 byte. When `decodedLength` is
// given it receives the number of bytes decoded (0 bytes inside the result count), failure or not.
// The first '=' in place 3 or 4 of a group ends decoding with success and nothing after it is
// read; a character outside the alphabet (white space and line breaks too), '=' in place 1 or 2,
// or a text ending inside a group fails. A group is written whole or not at all when the
// capacity runs out, but a faulty group keeps the bytes decoded before its fault.
int Base64Decode(const char* source, unsigned char* destination, std::size_t capacity,
                 std::size_t* decodedLength = nullptr);
