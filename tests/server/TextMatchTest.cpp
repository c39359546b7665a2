// The comparisons that pick commands, replies and entries out of lines.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "server/Server.h"

namespace {

TEST(TextMatch, MatchTailComparesTheLineEndWithoutCase) {
    struct Row {
        const char* line;
        const char* domain;
        bool matches;
    };
    const Row rows[] = {
        {"EHLO mail.example.com  ", "EXAMPLE.COM", true},
        {"EHLO example.org", "example.com", false},
        {"EHLO myexample.com", "example.com", true}, // no word boundary is required
        {"EHLO example.com\t\x01", "example.com", true},
        {"EHLO example.com\xa0\xff", "example.com", true}, // high bytes count as blanks at the end
        {"EHLO example.com.", "example.com", false},
        {"anything", "", true},
        {"", "", true},
        {"", "example.com", true}, // a line shorter than the domain only needs its own bytes equal
        {"com", "example.com", true},
        {"xcom", "example.com", false},
        {"EHLO host", "example.com", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(matchTail(row.line, row.domain), row.matches) << row.line << " / " << row.domain;
    }
}

TEST(TextMatch, FindTextFindsTheFirstPlaceWithoutCase) {
    struct Row {
        const char* text;
        const char* word;
        int position; // -1: not found
    };
    const Row rows[] = {
        {"<a@mail.Example.COM>", "example.com", 8},
        {"<a@example.com> SIZE=10", "EXAMPLE.com", 3},
        {"aaab", "aab", 1},
        {"abc", "", -1},
        {"", "a", -1},
        {"ab", "abc", -1},
        {"LOGIN PLAIN CRAM-MD5", "cram-md5", 12},
    };
    for (const Row& row : rows) {
        const char* found = findText(row.text, row.word);
        const int position = found == nullptr ? -1 : static_cast<int>(found - row.text);
        EXPECT_EQ(position, row.position) << row.text << " / " << row.word;
    }
}

TEST(TextMatch, IsCommandComparesOnlyTheWordsLength) {
    struct Row {
        const char* line;
        const char* word;
        bool is;
    };
    const Row rows[] = {
        {"HELO host", "helo", true},
        {"helox", "helo", true},
        {"HEL", "helo", false},
        {"MAIL FROM:<a@b>", "mail from:", true},
        {"MAIL FROM :<a@b>", "mail from:", false},
        {"250-auth login", "250-AUTH", true},
        {"250 AUTH LOGIN", "250-AUTH", false},
        {"", "", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(isCommand(row.line, row.word), row.is) << row.line << " / " << row.word;
    }
}

TEST(TextMatch, FirstWordIsTheArgumentAfterTheFirstSpaces) {
    struct Row {
        const char* line;
        const char* word;
    };
    const Row rows[] = {
        {"EHLO host.example.com", "host.example.com"},
        {"HELO    spaced  more", "spaced"},
        {"HELO", ""},
        {"HELO ", ""},
        {"HELO a\tb", "a"},
        {"HELO \xe3\x81\x82x y", "\xe3\x81\x82x"}, // bytes from 0x80 on belong to the word
    };
    for (const Row& row : rows) {
        char word[2048];
        firstWord(row.line, word, sizeof word);
        EXPECT_STREQ(word, row.word) << row.line;
    }
    char small[4];
    firstWord("HELO abcdef", small, sizeof small);
    EXPECT_STREQ(small, "abc");
}

TEST(TextMatch, ReplyCodeTakesThreeBytesUnchecked) {
    struct Row {
        const char* line;
        int code;
    };
    const Row rows[] = {
        {"220 ready", 220},
        {"250-AUTH", 250},
        {"334 ", 334},
        {"235", 235},
        {"2x0", 200 + ('x' - '0') * 10},
        {"", -48 * 111},
        {"2", 200 - 48 * 11},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(replyCode(row.line), row.code) << row.line;
    }
}

TEST(TlsSettings, FingerprintIgnoresColonsAndCaseAndRefusesAnythingElse) {
    const std::string hex(64, 'a');
    std::string colons;
    for (std::size_t i = 0; i < 64; i += 2) {
        colons += (i ? ":" : "") + std::string("AA");
    }
    const std::tuple<std::string, bool, std::string> rows[] = {
        {"", true, ""},
        {hex, true, hex},
        {colons, true, hex},
        {hex.substr(1), false, ""},       // 63 digits
        {hex + "a", false, ""},           // 65 digits
        {hex.substr(1) + "g", false, ""}, // not hex
        {"sha256:" + hex, false, ""},
    };
    for (const auto& [setting, valid, normalised] : rows) {
        std::string out = "x";
        EXPECT_EQ(normaliseFingerprint(setting, out), valid) << setting;
        EXPECT_EQ(out, normalised) << setting;
    }
}

} // namespace

namespace {

// Hints follow the reply where one stands, never digits of an address, port or other text.
TEST(TextMatch, FailureHintsFollowReplyCodesOnly) {
    const std::pair<const char*, FailureHint> rows[] = {
        {"534-5.7.9 Application-specific password required", FailureHint::AppPassword},
        {"535 5.7.139 Authentication unsuccessful, SmtpClientAuthentication is disabled",
         FailureHint::AuthDisabled},
        {"535 5.7.8 Username and Password not accepted", FailureHint::BadCredentials},
        {"EHLO refused: 530 5.7.0 Must issue a STARTTLS command first", FailureHint::TlsFirst},
        {"token endpoint: HTTP 400 invalid_grant (Token has been expired or revoked.)",
         FailureHint::SignInAgain},
        {"certificate not accepted: hostname mismatch (depth 0)", FailureHint::CertName},
        {"certificate not accepted: unable to get local issuer certificate (depth 0)",
         FailureHint::CertUnknownCa},
        {"cannot connect to 10.5.7.8 port 5345: Connection refused", FailureHint::None},
        {"451 4.3.0 upstream busy", FailureHint::None},
    };
    for (const auto& [failure, hint] : rows) {
        EXPECT_EQ(failureHintFor(failure), hint) << failure;
    }
}

} // namespace
