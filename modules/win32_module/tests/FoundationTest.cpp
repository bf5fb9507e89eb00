#include "qor/Foundation/Foundation.h"

#include "../src/qor/Foundation/FoundationDetail.h"
#include "ReferenceUtf8.h"
#include "qor/Foundation/Utf8.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace
{
    using QOR::WideString;

    // The reference decoder's answer as the product's decoder gives it: UTF-16.
    WideString ReferenceDecode(const std::string& text)
    {
        return QOR::Testing::ToUtf16(QOR::Testing::ReferenceCodePoints(text));
    }

    std::string Bytes(std::initializer_list<int> values)
    {
        std::string text;
        for (const int v : values)
            text.push_back(static_cast<char>(v));
        return text;
    }

    // Stands in for MultiByteToWideChar to reach the error and assertion paths.
    class FakeConverter final : public QOR::Detail::SystemTextConverter
    {
    public:
        int sizeAnswer = 1;
        int convertAnswer = 1;
        std::uint32_t error = 0;
        int calls = 0;
        std::optional<std::string> failOn;

        int Convert(std::string_view utf8, char16_t* out, int) override
        {
            ++calls;
            if (failOn && utf8 == *failOn)
                return 0;
            if (out != nullptr && convertAnswer > 0)
                out[0] = u'x';
            return out == nullptr ? sizeAnswer : convertAnswer;
        }
        std::uint32_t LastError() override { return error; }
    };
}

TEST(Utf8ToWideTest, ConvertsWellFormedText)
{
    const QOR::WideTextResult empty = QOR::Utf8ToWide("");
    EXPECT_FALSE(empty.error);
    EXPECT_TRUE(empty.text.empty());

    const QOR::WideTextResult ab = QOR::Utf8ToWide("ab");
    EXPECT_FALSE(ab.error);
    EXPECT_EQ(ab.text, WideString(u"ab"));

    // Two-, three- and four-byte forms; the last one becomes a surrogate pair.
    EXPECT_EQ(QOR::Utf8ToWide("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").text, WideString(u"\u00E9\u20AC\xD83D\xDE00"));
    EXPECT_EQ(QOR::Utf8ToWide("\xF4\x8F\xBF\xBF").text, WideString(u"\xDBFF\xDFFF"));

    const std::string withZero("a\0b", 3);
    const QOR::WideTextResult zero = QOR::Utf8ToWide(withZero);
    ASSERT_EQ(zero.text.size(), 3u);
    EXPECT_EQ(zero.text[1], u'\0');
}

TEST(Utf8ToWideTest, IllFormedInputIsReplacedNotRefused)
{
    const QOR::WideTextResult result = QOR::Utf8ToWide("a\xFF"
                                                       "b");
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.text, WideString(u"a\uFFFDb"));
}

// Each maximal ill-formed subpart is one U+FFFD: the Unicode Standard's own example and the classic
// traps (overlong forms, encoded surrogates, values above U+10FFFF, truncation, stray continuations).
TEST(Utf8CodecTest, ReplacesEachMaximalIllFormedSubpart)
{
    struct Case
    {
        std::string input;
        WideString expected;
    };
    const Case cases[] = {
        {Bytes({0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64}),
         u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
        {Bytes({0xC0, 0xAF}), u"\uFFFD\uFFFD"},             // overlong '/'
        {Bytes({0xE0, 0x80, 0xAF}), u"\uFFFD\uFFFD\uFFFD"}, // overlong, three bytes
        {Bytes({0xF0, 0x80, 0x80, 0xAF}), u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {Bytes({0xED, 0xA0, 0x80}), u"\uFFFD\uFFFD\uFFFD"},             // encoded surrogate
        {Bytes({0xF4, 0x90, 0x80, 0x80}), u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {Bytes({0xF5, 0x80}), u"\uFFFD\uFFFD"},
        {Bytes({0xF0, 0x9F, 0x98}), u"\uFFFD"},  // truncated at the end
        {Bytes({0xE2, 0x82, 0x41}), u"\uFFFDA"}, // truncated, then a character
        {Bytes({0x80, 0xBF}), u"\uFFFD\uFFFD"},  // stray continuation bytes
        {Bytes({0xC2}), u"\uFFFD"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(QOR::DecodeUtf8(c.input), c.expected) << testing::PrintToString(c.input);
        EXPECT_EQ(ReferenceDecode(c.input), c.expected) << "reference: " << testing::PrintToString(c.input);
    }
}

// Random inputs biased toward the bytes where decoders go wrong, checked against the reference.
TEST(Utf8CodecTest, AgreesWithReferenceOnRandomInput)
{
    const std::uint8_t interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                        0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                                        0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFE, 0xFF};
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> lengthPick(0, 12);
    std::uniform_int_distribution<int> kindPick(0, 9);
    std::uniform_int_distribution<int> bytePick(0, 255);
    std::uniform_int_distribution<int> continuationPick(0x80, 0xBF);
    std::uniform_int_distribution<std::size_t> interestingPick(0, std::size(interesting) - 1);

    for (int round = 0; round < 200000; ++round)
    {
        std::string input;
        const int length = lengthPick(random);
        for (int k = 0; k < length; ++k)
        {
            const int kind = kindPick(random);
            const int byte = kind < 4   ? continuationPick(random)
                             : kind < 8 ? interesting[interestingPick(random)]
                                        : bytePick(random);
            input.push_back(static_cast<char>(byte));
        }
        const WideString expected = ReferenceDecode(input);
        ASSERT_EQ(QOR::DecodeUtf8(input), expected) << testing::PrintToString(input);
        ASSERT_EQ(QOR::DecodeUtf8(input, nullptr), expected.size());
        // What the decoder gives is well-formed UTF-16, for which the encoder is its exact inverse.
        ASSERT_EQ(QOR::DecodeUtf8(QOR::EncodeUtf8(expected)), expected) << testing::PrintToString(input);
#ifndef _WIN32
        // Without a system converter the public call is this decoder.
        if (round % 16 == 0)
        {
            ASSERT_EQ(QOR::Utf8ToWide(input).text, expected) << testing::PrintToString(input);
        }
#endif
    }
}

// Windows names may hold unpaired surrogates: each becomes U+FFFD, so what is logged is valid UTF-8.
TEST(Utf8CodecTest, EncoderReplacesUnpairedSurrogates)
{
    EXPECT_EQ(QOR::EncodeUtf8(u"a\u00E9\u20AC\xD83D\xDE00"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(QOR::EncodeUtf8(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(QOR::EncodeUtf8(u"x\xD83Dy\xD83D"), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
    EXPECT_EQ(QOR::EncodeUtf8(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8ToWideWithTest, ReportsTheSystemsRefusalsByName)
{
    const std::pair<std::uint32_t, const char*> cases[] = {
        {122, "InsufficientBuffer"}, {1004, "InvalidFlags"}, {87, "InvalidParameter"}, {1113, "NoUnicodeTranslation"}};
    for (const auto& [code, name] : cases)
    {
        FakeConverter system;
        system.sizeAnswer = 0;
        system.error = code;
        WideString text = u"stale";
        EXPECT_EQ(QOR::Detail::Utf8ToWideWith("text", system, text).message(), name);
        EXPECT_TRUE(text.empty());
    }
}

TEST(Utf8ToWideWithTest, EmptyAndOversizedInputsNeverReachTheSystem)
{
    FakeConverter system;
    WideString text;
    EXPECT_FALSE(QOR::Detail::Utf8ToWideWith("", system, text));

    // The system takes a 32-bit length: a longer input must be refused, not cut short.
    static const char byte = 'a';
    const std::string_view huge(&byte, static_cast<std::size_t>(INT_MAX) + 1);
    EXPECT_EQ(QOR::Detail::Utf8ToWideWith(huge, system, text).message(), "InvalidParameter");
    EXPECT_EQ(system.calls, 0);
}

TEST(Utf8ToWideWithDeathTest, BrokenInvariantsStopTheProgram)
{
    WideString text;
    FakeConverter unknownCode;
    unknownCode.sizeAnswer = 0;
    unknownCode.error = 5;
    EXPECT_DEATH((void)QOR::Detail::Utf8ToWideWith("text", unknownCode, text),
                 "Assertion failed: false, file .*Foundation\\.cpp");

    FakeConverter nothingConverted;
    nothingConverted.convertAnswer = 0;
    EXPECT_DEATH((void)QOR::Detail::Utf8ToWideWith("text", nothingConverted, text),
                 "Assertion failed: charsConverted != 0, file .*Foundation\\.cpp, line ");
}
