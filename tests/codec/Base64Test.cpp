#include "codec/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 16;

// A destination of `capacity` bytes followed by guard bytes that no call may touch.
struct GuardedBuffer {
    explicit GuardedBuffer(std::size_t capacity)
        : capacity(capacity), bytes(capacity + kGuardBytes, kGuard) {}
    char* Text() { return reinterpret_cast<char*>(bytes.data()); }
    unsigned char* Data() { return bytes.data(); }
    bool GuardIntact() const {
        for (std::size_t i = capacity; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
    std::size_t capacity;
    std::vector<unsigned char> bytes;
};

std::string EncodeBytes(const std::string& source) {
    GuardedBuffer out(Base64EncodedSize(source.size()));
    EXPECT_TRUE(Base64EncodeBytes(source.data(), out.Text(), static_cast<int>(source.size()),
                                  out.capacity));
    EXPECT_TRUE(out.GuardIntact());
    return out.Text();
}

struct DecodeOutcome {
    int result;
    std::string bytes;
};

DecodeOutcome Decode(const std::string& source, std::size_t capacity) {
    GuardedBuffer out(capacity);
    std::size_t length = 12345;
    const int result = Base64Decode(source.c_str(), out.Data(), capacity, &length);
    EXPECT_TRUE(out.GuardIntact()) << "wrote past the capacity decoding " << source;
    if (capacity == 0) {
        EXPECT_EQ(length, 0u);
        return {result, ""};
    }
    EXPECT_LT(length, capacity);
    EXPECT_EQ(out.Data()[length], 0) << "result not terminated decoding " << source;
    return {result, std::string(out.Text(), length)};
}

DecodeOutcome Decode(const std::string& source) {
    return Decode(source, Base64DecodedSize(source.size()));
}

struct EncodeRow {
    std::string input;
    std::string expected;
    const char* message;
};

const EncodeRow kEncodeRows[] = {
    {"", "", "empty source gives empty text"},
    {"f", "Zg==", "one byte: two characters and two pads"},
    {"fo", "Zm8=", "two bytes: three characters and one pad"},
    {"foo", "Zm9v", "three bytes: no pad"},
    {"foob", "Zm9vYg==", "RFC 4648 vector"},
    {"fooba", "Zm9vYmE=", "RFC 4648 vector"},
    {"foobar", "Zm9vYmFy", "RFC 4648 vector"},
    {std::string(1, '\0'), "AA==", "a 0 byte is data"},
    {std::string("a\0b", 3), "YQBi", "a 0 byte inside is data"},
    {"\xff", "/w==", "bytes above 127 by their unsigned value"},
    {"\xfb\xff", "+/8=", "the last two alphabet characters"},
    {std::string(57, '\0'), std::string(76, 'A'), "57 bytes stay on one line"},
};

TEST(Base64Encode, BytesGiveKnownText) {
    for (const auto& row : kEncodeRows) {
        EXPECT_EQ(EncodeBytes(row.input), row.expected) << row.message;
    }
}

TEST(Base64Encode, TextStopsAtFirstZeroByte) {
    for (const auto& row : kEncodeRows) {
        const std::string text = row.input.c_str();
        GuardedBuffer out(Base64EncodedSize(text.size()));
        EXPECT_TRUE(Base64EncodeText(row.input.c_str(), out.Text(), out.capacity)) << row.message;
        EXPECT_EQ(std::string(out.Text()), EncodeBytes(text)) << row.message;
        EXPECT_TRUE(out.GuardIntact()) << row.message;
    }
}

TEST(Base64Encode, CountOfZeroOrLessGivesEmptyText) {
    for (int count : {0, -1, -1000}) {
        GuardedBuffer out(8);
        EXPECT_TRUE(Base64EncodeBytes("abc", out.Text(), count, out.capacity)) << count;
        EXPECT_STREQ(out.Text(), "") << count;
    }
}

struct EncodeCapacityRow {
    std::string input;
    std::size_t capacity;
    bool ok;
    std::string expected;
    const char* message;
};

TEST(Base64Encode, NeverWritesPastCapacity) {
    const EncodeCapacityRow rows[] = {
        {"foobar", 9, true, "Zm9vYmFy", "exact size"},
        {"foobar", 8, false, "Zm9v", "no room for the 0 byte: last group dropped"},
        {"foobar", 5, false, "Zm9v", "whole groups only"},
        {"foobar", 4, false, "", "first group and 0 byte do not fit"},
        {"f", 5, true, "Zg==", "padded group, exact size"},
        {"f", 4, false, "", "padded group one short"},
        {"", 1, true, "", "empty needs just the 0 byte"},
        {"", 0, false, "", "no room at all: nothing written"},
        {"abc", 0, false, "", "no room at all: nothing written"},
    };
    for (const auto& row : rows) {
        GuardedBuffer text(row.capacity);
        GuardedBuffer bytes(row.capacity);
        EXPECT_EQ(Base64EncodeText(row.input.c_str(), text.Text(), row.capacity), row.ok)
            << row.message;
        EXPECT_EQ(Base64EncodeBytes(row.input.data(), bytes.Text(),
                                    static_cast<int>(row.input.size()), row.capacity),
                  row.ok)
            << row.message;
        EXPECT_TRUE(text.GuardIntact()) << row.message;
        EXPECT_TRUE(bytes.GuardIntact()) << row.message;
        if (row.capacity > 0) {
            EXPECT_EQ(std::string(text.Text()), row.expected) << row.message;
            EXPECT_EQ(std::string(bytes.Text()), row.expected) << row.message;
        }
    }
}

struct DecodeRow {
    std::string input;
    int result;
    std::string expected;
    const char* message;
};

TEST(Base64Decode, StopRulesAndPartialResults) {
    const DecodeRow rows[] = {
        {"", 0, "", "empty text succeeds"},
        {"Zg==", 0, "f", "RFC 4648 vector"},
        {"Zm8=", 0, "fo", "RFC 4648 vector"},
        {"Zm9v", 0, "foo", "RFC 4648 vector"},
        {"Zm9vYg==", 0, "foob", "RFC 4648 vector"},
        {"Zm9vYmE=", 0, "fooba", "RFC 4648 vector"},
        {"Zm9vYmFy", 0, "foobar", "RFC 4648 vector"},
        {"AAAA", 0, std::string(3, '\0'), "0 bytes are counted in the result"},
        {"/w==", 0, "\xff", "bytes above 127"},
        {"QQ=", 0, "A", "first '=' ends with success: the end is not looked for"},
        {"QQ=!junk", 0, "A", "nothing after the first '=' is read"},
        {"QQ==QUJD", 0, "A", "not even further complete groups"},
        {"QUI=QUJD", 0, "AB", "'=' in fourth place ends too"},
        {"QR==", 0, "A", "leftover bits before the pads are dropped"},
        {"QUJ=", 0, "AB", "leftover bits before the pad are dropped"},
        {"QQ", -1, "A", "missing pads: byte kept, failure"},
        {"QUJDRE", -1, "ABCD", "complete group then two characters"},
        {"Q", -1, "", "single character"},
        {"=QQ=", -1, "", "'=' first"},
        {"Q===", -1, "", "'=' second"},
        {"QUJD=QQ=", -1, "ABC", "'=' first in a later group keeps earlier groups"},
        {"QUJDQ=Q=", -1, "ABC", "'=' second in a later group writes nothing of it"},
        {"QUJD\r\nREVG", -1, "ABC", "CR LF stops decoding"},
        {"QUJD REVG", -1, "ABC", "a space stops decoding"},
        {"QU J", -1, "A", "a space in third place keeps the first byte"},
        {"QUJD-_", -1, "ABC", "URL-safe alphabet is not accepted"},
        {"QUJD\x80QUJD", -1, "ABC", "bytes above 127 are invalid"},
    };
    for (const auto& row : rows) {
        const DecodeOutcome outcome = Decode(row.input);
        EXPECT_EQ(outcome.result, row.result) << row.message;
        EXPECT_EQ(outcome.bytes, row.expected) << row.message;
    }
}

struct DecodeCapacityRow {
    std::string input;
    std::size_t capacity;
    int result;
    std::string expected;
    const char* message;
};

TEST(Base64Decode, NeverWritesPastCapacity) {
    const DecodeCapacityRow rows[] = {
        {"Zm9vYmFy", 7, 0, "foobar", "exact size"},
        {"Zm9vYmFy", 6, -1, "foo", "no room for the 0 byte: last group dropped"},
        {"Zm9vYmFy", 4, -1, "foo", "exact size of the first group"},
        {"Zm9vYmFy", 3, -1, "", "first group does not fit with its 0 byte"},
        {"Zm9vYmE=", 6, 0, "fooba", "padded group needs only its own bytes"},
        {"Zm9vYmE=", 5, -1, "foo", "padded group one short"},
        {"Zg==", 2, 0, "f", "one byte and the 0 byte"},
        {"Zg==", 1, -1, "", "room only for the 0 byte"},
        {"", 1, 0, "", "empty text needs just the 0 byte"},
        {"", 0, -1, "", "no room at all: nothing written"},
        {"Zm9v", 0, -1, "", "no room at all: nothing written"},
    };
    for (const auto& row : rows) {
        const DecodeOutcome outcome = Decode(row.input, row.capacity);
        EXPECT_EQ(outcome.result, row.result) << row.message;
        EXPECT_EQ(outcome.bytes, row.expected) << row.message;
    }
}

// Every length around the group boundaries and every byte value, through the advertised sizes.
TEST(Base64RoundTrip, AllLengthsAndByteValuesAtAdvertisedSizes) {
    for (std::size_t length = 0; length <= 260; ++length) {
        std::string source(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            source[i] = static_cast<char>((i * 37 + length) & 0xFF);
        }
        const std::string text = EncodeBytes(source);
        ASSERT_EQ(text.size() + 1, Base64EncodedSize(length)) << length;

        GuardedBuffer tooSmall(Base64EncodedSize(length) - 1);
        EXPECT_FALSE(Base64EncodeBytes(source.data(), tooSmall.Text(), static_cast<int>(length),
                                       tooSmall.capacity))
            << length;
        EXPECT_TRUE(tooSmall.GuardIntact()) << length;

        const DecodeOutcome outcome = Decode(text);
        EXPECT_EQ(outcome.result, 0) << length;
        EXPECT_EQ(outcome.bytes, source) << length;
    }
}

} // namespace
