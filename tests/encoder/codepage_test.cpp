// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/codepage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr char16_t kSentinel = u'#';

// Converts with a counting call and then a converting call of exactly the counted size.
std::u16string decode(unsigned codePage, const std::string& bytes) {
    const int length = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(codePage, 0, bytes.data(), length, nullptr, 0);
    std::u16string wide(units > 0 ? units : 0, kSentinel);
    if (units > 0) {
        EXPECT_EQ(MultiByteToWideChar(codePage, 0, bytes.data(), length, wide.data(), units),
                  units);
    }
    return wide;
}

std::string encode(unsigned codePage, const std::u16string& wide) {
    const int length = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes : 0, '#');
    if (bytes > 0) {
        EXPECT_EQ(WideCharToMultiByte(codePage, 0, wide.data(), length, text.data(), bytes, nullptr,
                                      nullptr),
                  bytes);
    }
    return text;
}

struct ConversionCase {
    const char* name;
    unsigned codePage;
    std::string bytes;
    std::u16string units;
};

// Each holds no NUL, so it also works as a terminated string.
const ConversionCase kConversions[] = {
    {"gbkHan", CP_GBK, "\xBA\xE9\xBB\xC4\xD6\xAE\xC1\xA6", u"洪荒之力"},
    {"ansiIsGbk", CP_ACP, "\xBA\xE9\xBB\xC4\xD6\xAE\xC1\xA6", u"洪荒之力"},
    {"gbkAscii", CP_GBK, "A1 b", u"A1 b"},
    {"gb18030Emoji", CP_GBK, "\x94\x39\xFC\x36", u"\U0001F600"},
    {"gb18030ExtensionB", CP_GBK, "\x95\x32\x82\x36", u"\U00020000"},
    {"gb18030FourByteBasicPlane", CP_GBK, "\x81\x30\x81\x30", u"\u0080"},
    {"utf8Han", CP_UTF8, "\xE6\xB4\xAA\xE8\x8D\x92", u"洪荒"},
    {"utf8Emoji", CP_UTF8, "\xF0\x9F\x98\x80", u"\U0001F600"},
};

TEST(MultiByteToWideChar, countingCall_givesTheSizeTheConvertingCallWrites) {
    for (const auto& c : kConversions) {
        SCOPED_TRACE(c.name);
        const int units = static_cast<int>(c.units.size());
        const int length = static_cast<int>(c.bytes.size());
        std::u16string out(units + 2, kSentinel);

        EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes.data(), length, out.data(), 0), units);
        EXPECT_EQ(out, std::u16string(units + 2, kSentinel)) << "the counting call wrote";
        EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes.data(), length, out.data(), units),
                  units);
        EXPECT_EQ(out.substr(0, units), c.units);
        EXPECT_EQ(out.substr(units), std::u16string(2, kSentinel)) << "wrote past the size";

        // With length -1 the terminator is counted and converted too.
        out.assign(units + 2, kSentinel);
        EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes.c_str(), -1, nullptr, 0), units + 1);
        EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes.c_str(), -1, out.data(), units + 1),
                  units + 1);
        EXPECT_EQ(out.substr(0, units + 1), c.units + u'\0');
    }
}

TEST(WideCharToMultiByte, countingCall_givesTheSizeTheConvertingCallWrites) {
    for (const auto& c : kConversions) {
        SCOPED_TRACE(c.name);
        const int bytes = static_cast<int>(c.bytes.size());
        const int length = static_cast<int>(c.units.size());
        std::string out(bytes + 2, '#');

        EXPECT_EQ(WideCharToMultiByte(c.codePage, 0, c.units.data(), length, out.data(), 0, nullptr,
                                      nullptr),
                  bytes);
        EXPECT_EQ(out, std::string(bytes + 2, '#')) << "the counting call wrote";
        EXPECT_EQ(WideCharToMultiByte(c.codePage, 0, c.units.data(), length, out.data(), bytes,
                                      nullptr, nullptr),
                  bytes);
        EXPECT_EQ(out.substr(0, bytes), c.bytes);
        EXPECT_EQ(out.substr(bytes), "##") << "wrote past the size";

        out.assign(bytes + 2, '#');
        EXPECT_EQ(
            WideCharToMultiByte(c.codePage, 0, c.units.c_str(), -1, nullptr, 0, nullptr, nullptr),
            bytes + 1);
        EXPECT_EQ(WideCharToMultiByte(c.codePage, 0, c.units.c_str(), -1, out.data(), bytes + 1,
                                      nullptr, nullptr),
                  bytes + 1);
        EXPECT_EQ(out.substr(0, bytes + 1), c.bytes + '\0');
    }
}

TEST(CodePageConversion, outputOneShort_fails) {
    for (const auto& c : kConversions) {
        // With one unit, one short would be the counting call.
        if (c.units.size() < 2) continue;
        SCOPED_TRACE(c.name);
        // The last character must not be cut: half a surrogate pair or of a byte sequence.
        std::u16string units(c.units.size(), kSentinel);
        EXPECT_EQ(
            MultiByteToWideChar(c.codePage, 0, c.bytes.data(), static_cast<int>(c.bytes.size()),
                                units.data(), static_cast<int>(c.units.size()) - 1),
            0);
        std::string bytes(c.bytes.size(), '#');
        EXPECT_EQ(WideCharToMultiByte(c.codePage, 0, c.units.data(),
                                      static_cast<int>(c.units.size()), bytes.data(),
                                      static_cast<int>(c.bytes.size()) - 1, nullptr, nullptr),
                  0);
    }
}

TEST(CodePageConversion, explicitLength_convertsEmbeddedNulAndAddsNoTerminator) {
    EXPECT_EQ(decode(CP_GBK, "a\0\xBA\xE9"s), u"a\0洪"s);
    EXPECT_EQ(decode(CP_UTF8, "a\0b"s), u"a\0b"s);
    EXPECT_EQ(encode(CP_GBK, u"a\0洪"s), "a\0\xBA\xE9"s);
    EXPECT_EQ(encode(CP_UTF8, u"a\0b"s), "a\0b"s);
}

TEST(CodePageConversion, invalidArguments_fail) {
    char16_t units[8] = {};
    char bytes[8] = {};
    const struct {
        const char* name;
        unsigned codePage;
        std::uint32_t flags;
        bool nullInput;
        int inputLength;
        bool nullOutput;
        int outputSize;
    } cases[] = {
        {"unknownCodePage", 1252, 0, false, -1, false, 8},
        {"flags", CP_GBK, 8, false, -1, false, 8},
        {"nullInput", CP_GBK, 0, true, -1, false, 8},
        {"zeroLength", CP_GBK, 0, false, 0, false, 8},
        {"lengthBelowMinusOne", CP_UTF8, 0, false, -2, false, 8},
        {"negativeOutputSize", CP_UTF8, 0, false, -1, false, -1},
        {"nullOutputWithSize", CP_UTF8, 0, false, -1, true, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MultiByteToWideChar(c.codePage, c.flags, c.nullInput ? nullptr : "ab",
                                      c.inputLength, c.nullOutput ? nullptr : units, c.outputSize),
                  0);
        EXPECT_EQ(
            WideCharToMultiByte(c.codePage, c.flags, c.nullInput ? nullptr : u"ab", c.inputLength,
                                c.nullOutput ? nullptr : bytes, c.outputSize, nullptr, nullptr),
            0);
    }
}

TEST(MultiByteToWideChar, invalidGb18030_becomesReplacementCharacterPerByte) {
    const struct {
        const char* name;
        std::string bytes;
        std::u16string units;
    } cases[] = {
        {"euroByte", "\x80", u"€"},
        {"byteFF", "\xFF", u"\uFFFD"},
        {"leadByteAtEnd", "a\x81", u"a\uFFFD"},
        {"asciiTrailIsReadAgain", "\x81 b", u"\uFFFD b"},
        {"trailFF", "\x81\xFF", u"\uFFFD\uFFFD"},
        {"truncatedFourByte", "\x81\x30\x81", u"\uFFFD0\uFFFD"},
        {"unassignedFourByte", "\x84\x31\xA5\x30", u"\uFFFD1\uFFFD0"},
        {"pastLastCodePoint", "\xFE\x39\xFE\x39", u"\uFFFD9\uFFFD9"},
        {"validAfterInvalid", "\xFF\xBA\xE9\x80", u"\uFFFD洪€"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(CP_GBK, c.bytes), c.units);
    }
}

TEST(MultiByteToWideChar, illFormedUtf8_becomesReplacementCharacterPerMaximalPart) {
    const struct {
        const char* name;
        std::string bytes;
        std::u16string units;
    } cases[] = {
        {"loneContinuation", "\x80", u"\uFFFD"},
        {"overlong", "\xC0\x80", u"\uFFFD\uFFFD"},
        {"overlongThreeByte", "\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"encodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"truncatedAtEnd", "\xE6\xB4", u"\uFFFD"},
        {"truncatedBeforeAscii",
         "\xE6\xB4"
         "A",
         u"\uFFFDA"},
        {"pastLastCodePoint", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"byteF5", "\xF5", u"\uFFFD"},
        {"lastCodePoint", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(CP_UTF8, c.bytes), c.units);
    }
}

TEST(WideCharToMultiByte, unpairedSurrogates_becomeReplacementCharacter) {
    const struct {
        const char* name;
        std::u16string units;
        std::string utf8;
        std::string gb18030;
    } cases[] = {
        {"highBeforeAscii",
         u"\xD83D"
         u"a",
         "\xEF\xBF\xBD"
         "a",
         "\x84\x31\xA4\x37"
         "a"},
        {"highAtEnd", u"a\xD83D", "a\xEF\xBF\xBD", "a\x84\x31\xA4\x37"},
        {"lowAlone", u"\xDE00", "\xEF\xBF\xBD", "\x84\x31\xA4\x37"},
        {"pairReversed", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD",
         "\x84\x31\xA4\x37\x84\x31\xA4\x37"},
        {"twoHighsThenLow", u"\xD83D\xD83D\xDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80",
         "\x84\x31\xA4\x37\x94\x39\xFC\x36"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encode(CP_UTF8, c.units), c.utf8);
        EXPECT_EQ(encode(CP_GBK, c.units), c.gb18030);
    }
}

TEST(WideCharToMultiByte, characterGb18030CannotHold_becomesDefaultCharacter) {
    // U+E78D is one of the private-use code points that GB18030-2022 moved to a standard one.
    const std::u16string units = u"a\uE78D洪";
    char out[16] = {};
    bool used = false;
    EXPECT_EQ(WideCharToMultiByte(CP_GBK, 0, units.c_str(), -1, out, sizeof out, nullptr, &used),
              5);
    EXPECT_STREQ(out, "a?\xBA\xE9");
    EXPECT_TRUE(used);

    EXPECT_EQ(WideCharToMultiByte(CP_GBK, 0, units.c_str(), -1, out, sizeof out, "*", &used), 5);
    EXPECT_STREQ(out, "a*\xBA\xE9");
    EXPECT_TRUE(used);

    EXPECT_EQ(WideCharToMultiByte(CP_GBK, 0, u"a洪", -1, out, sizeof out, "*", &used), 4);
    EXPECT_FALSE(used);

    used = true;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, units.c_str(), -1, out, sizeof out, nullptr, &used),
              8);
    EXPECT_FALSE(used);
}

// Runs of one kind of character go through the conversions many at a time, mixed ones one at a
// time; a long text must convert exactly as its characters do one by one, and the buffer size
// must hold wherever a run ends.
TEST(CodePageConversion, longTexts_convertAsTheirCharactersDoOneByOne) {
    const struct {
        std::string gb18030;
        std::u16string units;
    } pieces[] = {
        {"a", u"a"},
        {"\x7F", u"\x7F"},
        {"\xBA\xE9", u"洪"},
        {"\xFE\xFE", u"\uE4C5"},              // the last two-byte character, private use
        {"\x81\x40", u"丂"},                  // a second byte below 0x80
        {"\x94\x39\xFC\x36", u"\U0001F600"},  // four bytes, a surrogate pair
        {"\x81\x30\x81\x30", u"\u0080"},      // four bytes, one unit
        {"\x80", u"€"},
        {"\xFF", u"\uFFFD"},
    };
    // Long runs of each kind, short runs of each, and random mixes; a fixed sequence.
    std::uint32_t seed = 2026;
    auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % bound;
    };
    for (int text = 0; text < 300; ++text) {
        SCOPED_TRACE("text " + std::to_string(text));
        std::string bytes;
        std::u16string units;
        const auto kinds = static_cast<std::uint32_t>(text < 100 ? 1 : text < 200 ? 3 : 9);
        const std::uint32_t first = next(std::size(pieces));
        const std::uint32_t length = next(120);
        for (std::uint32_t i = 0; i < length; ++i) {
            const auto& piece = pieces[(first + next(kinds)) % std::size(pieces)];
            bytes += piece.gb18030;
            units += piece.units;
        }
        if (units.empty()) continue;
        EXPECT_TRUE(decode(CP_GBK, bytes) == units);
        const std::u16string terminated = decode(CP_GBK, bytes + '\0');
        EXPECT_TRUE(terminated == units + u'\0');

        const int size = static_cast<int>(units.size());
        std::u16string shortUnits(units.size(), kSentinel);
        EXPECT_EQ(MultiByteToWideChar(CP_GBK, 0, bytes.data(), static_cast<int>(bytes.size()),
                                      shortUnits.data(), size - 1),
                  0);
        EXPECT_EQ(shortUnits.back(), kSentinel) << "wrote past the size";

        // UTF-8 the other way, from the same units; the UTF-8 of each piece by itself is known
        // from the small cases.
        std::string utf8;
        for (std::size_t i = 0; i < units.size();) {
            const bool pair = units[i] >= 0xD800 && units[i] <= 0xDBFF;
            utf8 += encode(CP_UTF8, units.substr(i, pair ? 2 : 1));
            i += pair ? 2 : 1;
        }
        EXPECT_EQ(encode(CP_UTF8, units), utf8);
        std::string shortBytes(utf8.size(), '#');
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, units.data(), size, shortBytes.data(),
                                      static_cast<int>(utf8.size()) - 1, nullptr, nullptr),
                  0);
        EXPECT_EQ(shortBytes.back(), '#') << "wrote past the size";
        EXPECT_TRUE(decode(CP_UTF8, utf8) == units);
    }
}

// Every code point in one text, so the conversions also cross their internal chunks at every
// kind of character.
std::u16string everyCodePoint() {
    std::u16string units;
    for (char32_t c = 1; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        if (c < 0x10000) {
            units += static_cast<char16_t>(c);
        } else {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return units;
}

TEST(CodePageConversion, everyCodePoint_roundTripsThroughUtf8) {
    const std::u16string units = everyCodePoint();
    EXPECT_TRUE(decode(CP_UTF8, encode(CP_UTF8, units)) == units);
}

TEST(CodePageConversion, everyCodePoint_roundTripsThroughGb18030ButAFewPrivateUseOnes) {
    const std::u16string units = everyCodePoint();
    const std::u16string back = decode(CP_GBK, encode(CP_GBK, units));
    ASSERT_EQ(back.size(), units.size());
    int defaulted = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (back[i] == units[i]) continue;
        ++defaulted;
        EXPECT_EQ(back[i], u'?') << "at U+" << std::hex << static_cast<unsigned>(units[i]);
        EXPECT_TRUE(units[i] >= 0xE000 && units[i] <= 0xF8FF)
            << "at U+" << std::hex << static_cast<unsigned>(units[i]);
    }
    EXPECT_LT(defaulted, 100);
}

TEST(CodePageConversion, threadsConvertIndependently) {
    const std::string gbk = "\xBA\xE9\xBB\xC4\xD6\xAE\xC1\xA6\x94\x39\xFC\x36";
    const std::u16string expected = u"洪荒之力\U0001F600";
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                char16_t units[8];
                char bytes[16];
                const int n = MultiByteToWideChar(CP_GBK, 0, gbk.data(),
                                                  static_cast<int>(gbk.size()), units, 8);
                const int m = WideCharToMultiByte(CP_GBK, 0, units, n, bytes, 16, nullptr, nullptr);
                if (std::u16string(units, n) != expected || std::string(bytes, m) != gbk) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
