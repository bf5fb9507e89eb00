#include "qor/Logging/JsonEscape.h"
#include "JsonReader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

namespace
{
    using namespace std::literals;

    std::string Escaped(std::string_view text)
    {
        std::string buffer = "prefix:";
        QOR::AppendJsonEscaped(buffer, text);
        return buffer.substr(7);
    }

    // The escaped text in quotation marks, read back by the strict JSON reader.
    std::optional<std::string> ReadBack(std::string_view text)
    {
        return QOR::Testing::ParseJsonString('"' + Escaped(text) + '"');
    }

    TEST(JsonEscape, CleanTextIsLeftAlone)
    {
        for (std::string_view text :
             {""sv, "copy failed"sv, "QOR::LauncherUpdater"sv, "Grüße, 日本語, 😀 and a longer tail of ASCII text"sv,
              "/slash and 'single quotes' and \x7f delete"sv})
        {
            EXPECT_FALSE(QOR::NeedsJsonEscaping(text)) << text;
            EXPECT_EQ(Escaped(text), text);
        }
    }

    TEST(JsonEscape, QuotesBackslashesAndControlCharactersAreEscaped)
    {
        EXPECT_EQ(Escaped(R"(Unable to copy "./self_update\bin\core.dll")"),
                  R"(Unable to copy \"./self_update\\bin\\core.dll\")");
        EXPECT_EQ(Escaped("a\nb\rc\td"), R"(a\nb\rc\td)");
        EXPECT_EQ(Escaped("\x01\x08\x0c\x1f"s), R"(\u0001\u0008\u000c\u001f)");
        EXPECT_EQ(Escaped("\0"s), R"(\u0000)");
    }

    // The word-at-a-time scan must see a special byte at every offset, also next to others.
    TEST(JsonEscape, SpecialByteIsFoundAtEveryOffset)
    {
        for (const char special : {'"', '\\', '\n', '\x1f', '\0', '\x80'})
        {
            for (std::size_t length = 1; length <= 24; ++length)
            {
                for (std::size_t at = 0; at < length; ++at)
                {
                    std::string text(length, 'a');
                    text[at] = special;
                    EXPECT_TRUE(QOR::NeedsJsonEscaping(text)) << int(special) << " at " << at << " of " << length;
                }
            }
        }
        // Bytes just beside the special ones in the code table are clean.
        EXPECT_FALSE(QOR::NeedsJsonEscaping(" !#[]^ !#[]^ !#[]^~\x7f"));
    }

    // Expected values are those of Python's bytes.decode("utf-8", "replace").
    TEST(JsonEscape, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart)
    {
        const std::string r = "\xEF\xBF\xBD";
        struct Case
        {
            std::string input;
            std::string expected;
        };
        const Case cases[] = {
            {"\x80", r},
            {"a\xC0\xAF"
             "b",
             "a" + r + r + "b"},                 // overlong lead bytes are never valid
            {"\xE0\x80\x80", r + r + r},         // overlong three-byte form
            {"\xED\xA0\x80", r + r + r},         // surrogate
            {"\xF4\x90\x80\x80", r + r + r + r}, // beyond U+10FFFF
            {"\xF5\x80", r + r},
            {"\xE2\x82", r}, // truncated at the end: one subpart
            {"\xE2\x82"
             "A",
             r + "A"}, // truncated before ASCII
            {"\xF0\x9F\x98"
             "\xF0\x9F\x98\x80",
             r + "\xF0\x9F\x98\x80"},
            {"\xE2\x82\xAC\xFF\xE2\x82\xAC", "\xE2\x82\xAC" + r + "\xE2\x82\xAC"},
            {"\xC3\"", r + "\\\""}, // an escape right after a broken sequence
        };
        for (const Case& c : cases)
        {
            EXPECT_TRUE(QOR::NeedsJsonEscaping(c.input));
            EXPECT_EQ(Escaped(c.input), c.expected);
        }
        EXPECT_FALSE(QOR::NeedsJsonEscaping("\xF4\x8F\xBF\xBF\xEE\x80\x80\xED\x9F\xBF"));
    }

    // Whatever the bytes, the escaped form is a valid JSON string; valid UTF-8 comes back unchanged.
    TEST(JsonEscape, RandomBytesAlwaysGiveAValidJsonString)
    {
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<int> length(0, 40);
        const std::string alphabet[] = {"a", "\"", "\\", "\n", "\x01", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
        for (int round = 0; round < 3000; ++round)
        {
            std::string raw;
            std::string valid;
            const int n = length(random);
            for (int i = 0; i < n; ++i)
            {
                raw += static_cast<char>(byte(random));
                valid += alphabet[static_cast<std::size_t>(byte(random)) % std::size(alphabet)];
            }
            const std::optional<std::string> fromRaw = ReadBack(raw);
            ASSERT_TRUE(fromRaw.has_value()) << "round " << round;
            if (!QOR::NeedsJsonEscaping(raw))
            {
                EXPECT_EQ(Escaped(raw), raw);
            }
            const std::optional<std::string> fromValid = ReadBack(valid);
            ASSERT_TRUE(fromValid.has_value()) << "round " << round;
            EXPECT_EQ(*fromValid, valid);
        }
    }
}
