#include "codec/Base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Decode-table marks; alphabet characters map to their 6-bit values 0..63.
constexpr std::uint8_t kInvalid = 0xFF;
constexpr std::uint8_t kPadMark = 0xFE;

// Every byte value outside the alphabet, the 0 byte included, is invalid, so the end of the
// source inside a group is caught by the same lookup as a stray character.
constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) {
        entry = kInvalid;
    }
    for (std::uint8_t value = 0; value < 64; ++value) {
        table[static_cast<unsigned char>(kAlphabet[value])] = value;
    }
    table[static_cast<unsigned char>(kPad)] = kPadMark;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = MakeDecodeTable();

std::uint8_t Lookup(char c) {
    return kDecodeTable[static_cast<unsigned char>(c)];
}

bool IsData(std::uint8_t value) {
    return value < 64;
}

// Always writes four characters; a short final group is padded with '='.
void Base64EncodeGroup(int groupSize, const unsigned char bytes[3], char* out) {
    const unsigned b0 = bytes[0];
    const unsigned b1 = groupSize > 1 ? bytes[1] : 0;
    const unsigned b2 = groupSize > 2 ? bytes[2] : 0;
    out[0] = kAlphabet[b0 >> 2];
    out[1] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out[2] = groupSize > 1 ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : kPad;
    out[3] = groupSize > 2 ? kAlphabet[b2 & 63] : kPad;
}

// Shared by both encoders: `nextGroup` fills up to three bytes and gives how many it found; a
// short group is the last one. Groups are written whole or not at all, so a truncated result is
// still valid Base64.
template <typename NextGroup>
bool EncodeGroups(NextGroup nextGroup, char* destination, std::size_t capacity) {
    if (destination == nullptr || capacity == 0) {
        return false;
    }
    std::size_t written = 0;
    unsigned char group[3];
    for (;;) {
        const int groupSize = nextGroup(group);
        if (groupSize == 0) {
            break;
        }
        if (capacity - written < 4 + 1) {
            destination[written] = '\0';
            return false;
        }
        Base64EncodeGroup(groupSize, group, destination + written);
        written += 4;
        if (groupSize < 3) {
            break;
        }
    }
    destination[written] = '\0';
    return true;
}

} // namespace

bool Base64EncodeText(const char* source, char* destination, std::size_t capacity) {
    const char* next = source != nullptr ? source : "";
    auto nextGroup = [&next](unsigned char group[3]) {
        int size = 0;
        // Stops at the terminating 0 byte and never reads beyond it.
        while (size < 3 && *next != '\0') {
            group[size++] = static_cast<unsigned char>(*next++);
        }
        return size;
    };
    return EncodeGroups(nextGroup, destination, capacity);
}

bool Base64EncodeBytes(const void* source, char* destination, int count, std::size_t capacity) {
    const auto* next = static_cast<const unsigned char*>(source);
    int remaining = (source != nullptr && count > 0) ? count : 0;
    auto nextGroup = [&next, &remaining](unsigned char group[3]) {
        int size = 0;
        while (size < 3 && remaining > 0) {
            group[size++] = *next++;
            --remaining;
        }
        return size;
    };
    return EncodeGroups(nextGroup, destination, capacity);
}

int Base64Decode(const char* source, unsigned char* destination, std::size_t capacity,
                 std::size_t* decodedLength) {
    if (decodedLength != nullptr) {
        *decodedLength = 0;
    }
    if (destination == nullptr || capacity == 0) {
        return -1;
    }
    const char* in = source != nullptr ? source : "";
    std::size_t written = 0;
    int result = 0;
    for (;;) {
        if (*in == '\0') {
            break;
        }
        // A group is decoded into `group` first and copied out only if it fits whole with the
        // terminating 0 byte, so a destination that is too small never receives half a group.
        unsigned char group[3];
        int groupBytes = 0;
        bool more = false;
        const std::uint8_t s1 = Lookup(in[0]);
        // Character 2 is looked at only when character 1 is data: never read past the 0 byte.
        const std::uint8_t s2 = IsData(s1) ? Lookup(in[1]) : kInvalid;
        if (!IsData(s1) || !IsData(s2)) {
            result = -1;
        } else {
            group[groupBytes++] = static_cast<unsigned char>((s1 << 2) | (s2 >> 4));
            const std::uint8_t s3 = Lookup(in[2]);
            if (s3 == kPadMark) {
                result = 0;
            } else if (!IsData(s3)) {
                result = -1;
            } else {
                group[groupBytes++] = static_cast<unsigned char>(((s2 & 15) << 4) | (s3 >> 2));
                const std::uint8_t s4 = Lookup(in[3]);
                if (s4 == kPadMark) {
                    result = 0;
                } else if (!IsData(s4)) {
                    result = -1;
                } else {
                    group[groupBytes++] = static_cast<unsigned char>(((s3 & 3) << 6) | s4);
                    more = true;
                }
            }
        }
        if (capacity - written < static_cast<std::size_t>(groupBytes) + 1) {
            result = -1;
            break;
        }
        for (int i = 0; i < groupBytes; ++i) {
            destination[written++] = group[i];
        }
        if (!more) {
            break;
        }
        in += 4;
    }
    destination[written] = '\0';
    if (decodedLength != nullptr) {
        *decodedLength = written;
    }
    return result;
}
