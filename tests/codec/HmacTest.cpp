#include "codec/Hmac.h"
#include "codec/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string Hex(const unsigned char digest[16]) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < 16; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

// `chunk` 0 feeds the message in one call; otherwise in pieces of that many bytes, which must
// not change the digest.
std::string Md5Hex(const std::string& message, std::size_t chunk = 0) {
    Md5Context context;
    Md5Init(&context);
    if (chunk == 0) {
        Md5Update(&context, Bytes(message), static_cast<std::uint32_t>(message.size()));
    } else {
        for (std::size_t at = 0; at < message.size(); at += chunk) {
            const std::size_t n = std::min(chunk, message.size() - at);
            Md5Update(&context, Bytes(message) + at, static_cast<std::uint32_t>(n));
        }
    }
    unsigned char digest[16];
    Md5Final(digest, &context);
    return Hex(digest);
}

std::string HmacHex(const std::string& message, const std::string& key) {
    unsigned char digest[16];
    HmacMd5(Bytes(message), static_cast<int>(message.size()), Bytes(key),
            static_cast<int>(key.size()), digest);
    return Hex(digest);
}

struct DigestRow {
    std::string input;
    const char* expected;
    const char* message;
};

TEST(Md5, Rfc1321TestSuite) {
    const DigestRow rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "empty message"},
        {"a", "0cc175b9c0f1b6a831c399e269772661", "a"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "abc"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", "message digest"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b", "alphabet"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f", "alphanumerics"},
        {std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" + "1234567890" +
             "1234567890" + "1234567890" + "1234567890",
         "57edf4a22be3c955ac49da2e2107b67a", "80 digits, two blocks"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Md5Hex(row.input), row.expected) << row.message;
    }
}

// Around the padding boundary: 55 bytes leave room for the length in the last block, 56 do not.
// Digests precomputed with md5sum.
TEST(Md5, BlockAndPaddingBoundaries) {
    const struct {
        std::size_t length;
        const char* expected;
    } rows[] = {
        {55, "8c3eb046bcdb1f0ffe75fdbaf890cf13"}, {56, "d5e0fa3122448ddd3d843a9c5ed9e839"},
        {63, "1dd0d6ddeb881b118518c2881555f34b"}, {64, "7b412e00d38c31b0845a4f502d39d5e3"},
        {65, "ba03b626aceb7b09c86c2d544afe1dce"},
    };
    for (const auto& row : rows) {
        std::string message(row.length, '\0');
        for (std::size_t i = 0; i < row.length; ++i) {
            message[i] = static_cast<char>((i * 7 + 1) & 0xFF);
        }
        EXPECT_EQ(Md5Hex(message), row.expected) << row.length << " bytes in one call";
        for (std::size_t chunk : {1, 3, 55, 63}) {
            EXPECT_EQ(Md5Hex(message, chunk), row.expected)
                << row.length << " bytes in pieces of " << chunk;
        }
    }
}

TEST(Md5, FinalWipesTheContext) {
    Md5Context context;
    Md5Init(&context);
    const std::string secret = "tanstaaftanstaaf, more than nothing but less than a block";
    Md5Update(&context, Bytes(secret), static_cast<std::uint32_t>(secret.size()));
    unsigned char digest[16];
    Md5Final(digest, &context);
    const auto* raw = reinterpret_cast<const unsigned char*>(&context);
    for (std::size_t i = 0; i < sizeof context; ++i) {
        ASSERT_EQ(raw[i], 0) << "byte " << i << " of the context";
    }
}

TEST(HmacMd5, Rfc2202TestCases) {
    const struct {
        std::string key;
        std::string data;
        const char* expected;
        const char* message;
    } rows[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d", "case 1"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738", "case 2"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6",
         "case 3"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
         "\x17\x18\x19",
         std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79", "case 4"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c",
         "case 5"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd", "case 6: long key hashed first"},
        {std::string(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e", "case 7: long key and long data"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(HmacHex(row.data, row.key), row.expected) << row.message;
    }
}

// A 64-byte key is used as it is; one byte more and it is replaced by its MD5 digest.
// Digests precomputed with Python's hmac module.
TEST(HmacMd5, KeyLengthBoundary) {
    std::string key65(65, '\0');
    for (int i = 0; i < 65; ++i) {
        key65[i] = static_cast<char>(i);
    }
    const std::string key64 = key65.substr(0, 64);
    const std::string message = "Vellomir key boundary";

    EXPECT_EQ(HmacHex(message, key64), "27b7400491791573d298886b5cab79f7");
    EXPECT_EQ(HmacHex(message, key65), "a52edb19d077389ca1669d5a03dba640");

    unsigned char hashedKey[16];
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, Bytes(key65), 65);
    Md5Final(hashedKey, &context);
    EXPECT_EQ(HmacHex(message, key65),
              HmacHex(message, std::string(reinterpret_cast<char*>(hashedKey), 16)));
}

TEST(HmacMd5, EmptyAndNegativeLengthsAreEmpty) {
    const char* kEmpty = "74e6f7298a9c2d168935f58c001bad88";
    EXPECT_EQ(HmacHex("", ""), kEmpty);

    unsigned char digest[16];
    HmacMd5(nullptr, 0, nullptr, 0, digest);
    EXPECT_EQ(Hex(digest), kEmpty);
    // A negative length must not turn into a read of gigabytes.
    HmacMd5(Bytes("abc"), -1, Bytes("key"), -5, digest);
    EXPECT_EQ(Hex(digest), kEmpty);
}

// The CRAM-MD5 exchange of RFC 2195: challenge decoded, keyed with the password, answered as
// Base64 of "user hexdigest".
TEST(HmacMd5, CramMd5WorkedExample) {
    const char* challenge64 = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
    unsigned char challenge[Base64DecodedSize(57)];
    std::size_t challengeLength = 0;
    ASSERT_EQ(Base64Decode(challenge64, challenge, sizeof challenge, &challengeLength), 0);
    ASSERT_STREQ(reinterpret_cast<char*>(challenge), "<1896.697170952@postoffice.reston.mci.net>");

    const std::string password = "tanstaaftanstaaf";
    unsigned char digest[16];
    HmacMd5(challenge, static_cast<int>(challengeLength), Bytes(password),
            static_cast<int>(password.size()), digest);
    EXPECT_EQ(Hex(digest), "b913a602c7eda7a495b4e6e7334d3890");

    const std::string answer = "tim " + Hex(digest);
    char answer64[Base64EncodedSize(36)];
    ASSERT_TRUE(Base64EncodeText(answer.c_str(), answer64, sizeof answer64));
    EXPECT_STREQ(answer64, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

} // namespace
