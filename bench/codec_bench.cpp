// The codecs on the upstream login's path: Base64 of the login texts and the HMAC-MD5 of a
// CRAM-MD5 answer, with OpenSSL's routines as the reference where its headers were found.
#include <benchmark/benchmark.h>

#include <cstring>

#include "codec/Base64.h"
#include "codec/Hmac.h"

#ifdef VELLOMIR_BENCH_OPENSSL
#include <openssl/evp.h>
#include <openssl/hmac.h>
#endif

namespace {

// What one login encodes and decodes: an AUTH PLAIN message, a CRAM-MD5 challenge (RFC 2195's
// example) and a password of usual length.
const char kPlainMessage[] = "user@example.com\0user@example.com\0correct horse battery";
const int kPlainLength = sizeof kPlainMessage - 1;
const char kChallenge[] = "<1896.697170952@postoffice.reston.mci.net>";
const char kChallengeBase64[] = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
const char kPassword[] = "tanstaaftanstaaf";

void Base64Encode_PlainLogin(benchmark::State& state) {
    char out[Base64EncodedSize(sizeof kPlainMessage)];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Base64EncodeBytes(kPlainMessage, out, kPlainLength, sizeof out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Base64Encode_PlainLogin);

void Base64Decode_CramChallenge(benchmark::State& state) {
    unsigned char out[Base64DecodedSize(sizeof kChallengeBase64)];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Base64Decode(kChallengeBase64, out, sizeof out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Base64Decode_CramChallenge);

void HmacMd5_CramAnswer(benchmark::State& state) {
    unsigned char digest[16];
    for (auto _ : state) {
        HmacMd5(reinterpret_cast<const unsigned char*>(kChallenge),
                static_cast<int>(std::strlen(kChallenge)),
                reinterpret_cast<const unsigned char*>(kPassword),
                static_cast<int>(std::strlen(kPassword)), digest);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(HmacMd5_CramAnswer);

#ifdef VELLOMIR_BENCH_OPENSSL
void OpenSSL_Base64Encode_PlainLogin(benchmark::State& state) {
    unsigned char out[Base64EncodedSize(sizeof kPlainMessage)];
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(
            out, reinterpret_cast<const unsigned char*>(kPlainMessage), kPlainLength));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(OpenSSL_Base64Encode_PlainLogin);

void OpenSSL_Base64Decode_CramChallenge(benchmark::State& state) {
    unsigned char out[Base64DecodedSize(sizeof kChallengeBase64)];
    const int length = static_cast<int>(std::strlen(kChallengeBase64));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(kChallengeBase64), length));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(OpenSSL_Base64Decode_CramChallenge);

void OpenSSL_HmacMd5_CramAnswer(benchmark::State& state) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        HMAC(EVP_md5(), kPassword, static_cast<int>(std::strlen(kPassword)),
             reinterpret_cast<const unsigned char*>(kChallenge), std::strlen(kChallenge), digest,
             &length);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(OpenSSL_HmacMd5_CramAnswer);
#endif

} // namespace

BENCHMARK_MAIN();
