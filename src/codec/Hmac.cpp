#include "codec/Hmac.h"

#include <cstddef>
#include <cstring>

namespace {

// Key material and message words pass through these buffers; a plain memset on storage that
// dies right after may be dropped by the optimiser, so every byte is stored through volatile.
void Wipe(void* storage, std::size_t size) {
    volatile auto* bytes = static_cast<volatile unsigned char*>(storage);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

constexpr int kBlockSize = 64;
constexpr int kDigestSize = 16;

std::uint32_t RotateLeft(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & z) | (y & ~z);
}
std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

template <std::uint32_t (*Round)(std::uint32_t, std::uint32_t, std::uint32_t)>
void Step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
          int s, std::uint32_t t) {
    a = b + RotateLeft(a + Round(b, c, d) + x + t, s);
}

void Md5Transform(std::uint32_t state[4], const unsigned char block[kBlockSize]) {
    // Message words are little-endian whatever the host's byte order.
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = static_cast<std::uint32_t>(block[4 * i]) |
               (static_cast<std::uint32_t>(block[4 * i + 1]) << 8) |
               (static_cast<std::uint32_t>(block[4 * i + 2]) << 16) |
               (static_cast<std::uint32_t>(block[4 * i + 3]) << 24);
    }
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];

    // Round 1
    Step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
    Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
    Step<F>(c, d, a, b, x[2], 17, 0x242070db);
    Step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
    Step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
    Step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
    Step<F>(c, d, a, b, x[6], 17, 0xa8304613);
    Step<F>(b, c, d, a, x[7], 22, 0xfd469501);
    Step<F>(a, b, c, d, x[8], 7, 0x698098d8);
    Step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
    Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
    Step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
    Step<F>(a, b, c, d, x[12], 7, 0x6b901122);
    Step<F>(d, a, b, c, x[13], 12, 0xfd987193);
    Step<F>(c, d, a, b, x[14], 17, 0xa679438e);
    Step<F>(b, c, d, a, x[15], 22, 0x49b40821);

    // Round 2
    Step<G>(a, b, c, d, x[1], 5, 0xf61e2562);
    Step<G>(d, a, b, c, x[6], 9, 0xc040b340);
    Step<G>(c, d, a, b, x[11], 14, 0x265e5a51);
    Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    Step<G>(a, b, c, d, x[5], 5, 0xd62f105d);
    Step<G>(d, a, b, c, x[10], 9, 0x02441453);
    Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681);
    Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6);
    Step<G>(d, a, b, c, x[14], 9, 0xc33707d6);
    Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87);
    Step<G>(b, c, d, a, x[8], 20, 0x455a14ed);
    Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905);
    Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
    Step<G>(c, d, a, b, x[7], 14, 0x676f02d9);
    Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    // Round 3
    Step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
    Step<H>(d, a, b, c, x[8], 11, 0x8771f681);
    Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
    Step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
    Step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
    Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
    Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
    Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
    Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
    Step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
    Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
    Step<H>(b, c, d, a, x[6], 23, 0x04881d05);
    Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
    Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
    Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
    Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);

    // Round 4
    Step<I>(a, b, c, d, x[0], 6, 0xf4292244);
    Step<I>(d, a, b, c, x[7], 10, 0x432aff97);
    Step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
    Step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
    Step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
    Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
    Step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
    Step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
    Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
    Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    Step<I>(c, d, a, b, x[6], 15, 0xa3014314);
    Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
    Step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
    Step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
    Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    Step<I>(b, c, d, a, x[9], 21, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;

    // The block may hold key material (HMAC pads); leave none of it on the stack.
    Wipe(x, sizeof x);
}

void StoreLittleEndian(unsigned char* out, const std::uint32_t* words, int count) {
    for (int i = 0; i < count; ++i) {
        out[4 * i] = static_cast<unsigned char>(words[i]);
        out[4 * i + 1] = static_cast<unsigned char>(words[i] >> 8);
        out[4 * i + 2] = static_cast<unsigned char>(words[i] >> 16);
        out[4 * i + 3] = static_cast<unsigned char>(words[i] >> 24);
    }
}

// A negative length from a caller must not turn into a huge unsigned read.
std::uint32_t LengthOf(int length) {
    return length > 0 ? static_cast<std::uint32_t>(length) : 0;
}

} // namespace

void Md5Init(Md5Context* context) {
    context->count[0] = 0;
    context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void Md5Update(Md5Context* context, const unsigned char* input, std::uint32_t length) {
    if (length == 0) {
        return;
    }
    std::uint32_t index = (context->count[0] >> 3) & 0x3F;
    const std::uint32_t bitsLow = length << 3;
    context->count[0] += bitsLow;
    if (context->count[0] < bitsLow) {
        ++context->count[1];
    }
    context->count[1] += length >> 29;

    const std::uint32_t partLength = kBlockSize - index;
    std::uint32_t i = 0;
    if (length >= partLength) {
        std::memcpy(&context->buffer[index], input, partLength);
        Md5Transform(context->state, context->buffer);
        for (i = partLength; i + (kBlockSize - 1) < length; i += kBlockSize) {
            Md5Transform(context->state, &input[i]);
        }
        index = 0;
    }
    std::memcpy(&context->buffer[index], &input[i], length - i);
}

void Md5Final(unsigned char digest[16], Md5Context* context) {
    static const unsigned char kPadding[kBlockSize] = {0x80};

    unsigned char bits[8];
    StoreLittleEndian(bits, context->count, 2);

    // Pad to 56 bytes modulo 64, so that the length completes the last block.
    const std::uint32_t index = (context->count[0] >> 3) & 0x3F;
    const std::uint32_t padLength = (index < 56) ? (56 - index) : (120 - index);
    Md5Update(context, kPadding, padLength);
    Md5Update(context, bits, 8);

    StoreLittleEndian(digest, context->state, 4);
    Wipe(context, sizeof *context);
}

void HmacMd5(const unsigned char* message, int messageLength, const unsigned char* key,
             int keyLength, unsigned char digest[16]) {
    std::uint32_t keySize = key != nullptr ? LengthOf(keyLength) : 0;
    const std::uint32_t messageSize = message != nullptr ? LengthOf(messageLength) : 0;

    unsigned char hashedKey[kDigestSize];
    if (keySize > kBlockSize) {
        Md5Context keyContext;
        Md5Init(&keyContext);
        Md5Update(&keyContext, key, keySize);
        Md5Final(hashedKey, &keyContext);
        key = hashedKey;
        keySize = kDigestSize;
    }

    unsigned char innerPad[kBlockSize + 1];
    unsigned char outerPad[kBlockSize + 1];
    std::memset(innerPad, 0, sizeof innerPad);
    std::memset(outerPad, 0, sizeof outerPad);
    if (keySize > 0) {
        std::memcpy(innerPad, key, keySize);
        std::memcpy(outerPad, key, keySize);
    }
    for (int i = 0; i < kBlockSize; ++i) {
        innerPad[i] ^= 0x36;
        outerPad[i] ^= 0x5c;
    }

    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, innerPad, kBlockSize);
    Md5Update(&context, message, messageSize);
    Md5Final(digest, &context);

    Md5Init(&context);
    Md5Update(&context, outerPad, kBlockSize);
    Md5Update(&context, digest, kDigestSize);
    Md5Final(digest, &context);

    Wipe(innerPad, sizeof innerPad);
    Wipe(outerPad, sizeof outerPad);
    Wipe(hashedKey, sizeof hashedKey);
}
