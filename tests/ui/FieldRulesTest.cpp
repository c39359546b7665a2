// Port conversion, the length limits of the settings file and the application title.
#include <optional>

#include <gtest/gtest.h>

#include "AppSetup.h"
#include "FieldRules.h"

namespace {

struct PortRow {
    const char* text;
    std::optional<std::int32_t> expected;
    const char* why;
};

TEST(FieldRules, PortTextConvertsOnlyToAPositive32BitInteger) {
    const PortRow rows[] = {
        {"25", 25, "plain"},
        {"70000", 70000, "no upper limit of 65535 here"},
        {"2147483647", 2147483647, "largest"},
        {"0", std::nullopt, "zero"},
        {"", std::nullopt, "empty"},
        {"2147483648", std::nullopt, "beyond 32 bits"},
        {"4294967296", std::nullopt, "far beyond 32 bits"},
        {"99999999999999999999", std::nullopt, "would overflow 64 bits"},
        {"12a", std::nullopt, "letters (pasted)"},
        {" 25", std::nullopt, "leading blank (pasted)"},
        {"-5", std::nullopt, "sign"},
        {"+5", std::nullopt, "plus sign"},
        {"０１", std::nullopt, "full-width digits"},
    };
    for (const PortRow& row : rows) {
        EXPECT_EQ(fieldrules::ParsePositiveInt(QString::fromUtf8(row.text)), row.expected)
            << row.why;
    }
}

TEST(FieldRules, LengthLimitCountsUtf8Bytes) {
    EXPECT_TRUE(fieldrules::FitsBytes(QString(299, QLatin1Char('a')), 299));
    EXPECT_FALSE(fieldrules::FitsBytes(QString(300, QLatin1Char('a')), 299));
    // Three bytes each in UTF-8.
    EXPECT_TRUE(fieldrules::FitsBytes(QString(74, QChar(0x3042)), 222));
    EXPECT_FALSE(fieldrules::FitsBytes(QString(75, QChar(0x3042)), 222));
}

TEST(FieldRules, ApplicationTitleFromProgramFile) {
    const struct {
        const char* path;
        const char* title;
    } rows[] = {
        {"/usr/bin/vellomir", "vellomir"},
        {"/opt/VELLOMIR.bin.exe", "Vellomir"},
        {"relative/Vellomir", "Vellomir"},
        {"/x/.hidden", ""},
        {"/x/A", "A"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ApplicationTitle(QString::fromLatin1(row.path)), QString::fromLatin1(row.title))
            << row.path;
    }
    const QString longName = QStringLiteral("/bin/") + QString(200, QLatin1Char('Q'));
    EXPECT_EQ(ApplicationTitle(longName).size(), 127);
}

} // namespace
