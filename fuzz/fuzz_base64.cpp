// Base64 codec under arbitrary input: both encoders round-trip through the decoder, the decoder
// survives any text, and no operation writes past the capacity it is given. Every destination is
// a heap block of exactly the stated capacity, so ASan reports a single byte written too far.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "codec/Base64.h"

namespace {

// Exactly `capacity` bytes; a 0-byte block still is a distinct allocation ASan guards.
template <typename T> std::unique_ptr<T[]> Exact(std::size_t capacity) {
    return std::unique_ptr<T[]>(new T[capacity]);
}

std::string EncodeBytes(const std::uint8_t* data, std::size_t size) {
    const std::size_t capacity = Base64EncodedSize(size);
    auto out = Exact<char>(capacity);
    check(Base64EncodeBytes(data, out.get(), static_cast<int>(size), capacity), "encode fits");
    const std::string text(out.get());
    check(text.size() == capacity - 1, "encoded length");
    return text;
}

// The bytes decoded (with the result code); capacity sized by the rule for `text`.
std::string Decode(const std::string& text, int* result) {
    const std::size_t capacity = Base64DecodedSize(text.size());
    auto out = Exact<unsigned char>(capacity);
    std::size_t length = 12345;
    *result = Base64Decode(text.c_str(), out.get(), capacity, &length);
    check(*result == 0 || *result == -1, "decode result");
    check(length < capacity, "decoded length within capacity");
    check(out[length] == 0, "decoded bytes terminated");
    return std::string(reinterpret_cast<const char*>(out.get()), length);
}

void RoundTrip(const std::uint8_t* data, std::size_t size) {
    const std::string text = EncodeBytes(data, size);
    for (char c : text) {
        check((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/' || c == '=',
              "alphabet only");
    }
    int result = 1;
    const std::string back = Decode(text, &result);
    check(result == 0, "own encoding decodes");
    check(back.size() == size && std::memcmp(back.data(), data, size) == 0, "round trip");

    // The text encoder stops at the first 0 byte and otherwise agrees with the byte encoder.
    const std::string asText(reinterpret_cast<const char*>(data), size);
    const std::string cString = asText.c_str();
    const std::size_t textCapacity = Base64EncodedSize(cString.size());
    auto out = Exact<char>(textCapacity);
    check(Base64EncodeText(asText.c_str(), out.get(), textCapacity), "text encode fits");
    check(std::string(out.get()) ==
              EncodeBytes(reinterpret_cast<const std::uint8_t*>(cString.data()), cString.size()),
          "text and byte encoders agree");
}

// Arbitrary text: decoding never overruns; what it gives is stable under a second round.
void DecodeAnything(const std::uint8_t* data, std::size_t size) {
    const std::string text = std::string(reinterpret_cast<const char*>(data), size).c_str();
    int result = 1;
    const std::string bytes = Decode(text, &result);
    check(bytes.size() <= 3 * ((text.size() + 3) / 4), "no more bytes than groups");
    int again = 1;
    const std::string twice = Decode(
        EncodeBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), &again);
    check(again == 0 && twice == bytes, "decoded bytes re-encode faithfully");
}

// Every capacity from 0 to the full size: never a byte past it, false/-1 exactly when short,
// and what was written is a valid prefix of the full result.
void ShortCapacities(const std::uint8_t* data, std::size_t size) {
    const std::size_t take = size > 64 ? 64 : size;
    const std::string full = EncodeBytes(data, take);
    for (std::size_t capacity = 0; capacity <= full.size() + 1; ++capacity) {
        auto out = Exact<char>(capacity);
        const bool fits = Base64EncodeBytes(data, out.get(), static_cast<int>(take), capacity);
        check(fits == (capacity >= full.size() + 1), "encoder reports short capacity");
        if (capacity > 0) {
            const std::string part(out.get());
            check(part.size() % 4 == 0 && full.compare(0, part.size(), part) == 0,
                  "short encoding is whole groups of the full one");
        }
    }
    int fullResult = 1;
    const std::string decoded = Decode(full, &fullResult);
    for (std::size_t capacity = 0; capacity <= decoded.size() + 1; ++capacity) {
        auto out = Exact<unsigned char>(capacity);
        std::size_t length = 0;
        const int result = Base64Decode(full.c_str(), out.get(), capacity, &length);
        check(result == (capacity >= decoded.size() + 1 ? 0 : -1), "decoder reports short");
        check(capacity == 0 ? length == 0 : length < capacity, "decoder stays inside");
        check(decoded.compare(0, length, reinterpret_cast<const char*>(out.get()), length) == 0,
              "short decoding is a prefix");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RoundTrip(data, size);
    DecodeAnything(data, size);
    ShortCapacities(data, size);
    return 0;
}
