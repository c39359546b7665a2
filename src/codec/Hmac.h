// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104), for the CRAM-MD5 login.
//
// No state between calls and no allocation: all working storage is on the caller's stack, so any
// number of threads may use it at once. Nothing can fail.
#pragma once

#include <cstdint>

struct Md5Context {
    std::uint32_t state[4];   // chaining words A, B, C, D
    std::uint32_t count[2];   // message length in bits modulo 2^64, low word first
    unsigned char buffer[64]; // bytes not yet consumed by a block transform
};

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const unsigned char* input, std::uint32_t length);
// Writes the 16-byte digest, then wipes the whole context to zero bytes.
void Md5Final(unsigned char digest[16], Md5Context* context);

// HMAC-MD5(key, message) into `digest` (16 raw bytes). Mind the order: message first, key second.
void HmacMd5(const unsigned char* message, int messageLength, const unsigned char* key,
             int keyLength, unsigned char digest[16]);
