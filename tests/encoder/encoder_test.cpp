// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "query/encoder.h"

#include "toolkit/codepage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace std::string_literals;

namespace {

struct EncodeCase {
    const char* name;
    Text keyword;  // code page 936 bytes
    Text encoded;
};

void expectEncodes(const EncodeCase& c) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncodeKeyword(c.keyword), c.encoded);
}

Text repeat(const Text& piece, int times) {
    Text text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

TEST(EncodeKeyword, describedExamples) {
    const EncodeCase cases[] = {
        {"initialKeyword", "\xBA\xE9\xBB\xC4\xD6\xAE\xC1\xA6",
         "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B"},
        {"twoCharacters", "\xC6\xBB\xB9\xFB", "%E8%8B%B9%E6%9E%9C"},
        {"twoBytesInBoth", "\xA8\xA6", "%C3%A9"},
        {"lettersEscaped", "abc", "%61%62%63"},
        {"spaceIsNotPlus", "A1 b", "%41%31%20%62"},
        {"unreservedEscaped", "-._~", "%2D%2E%5F%7E"},
        {"tabKeepsLeadingZero", "\t", "%09"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) expectEncodes(c);
}

TEST(EncodeKeyword, everyAsciiByte_isEscapedWithUpperCaseDigits) {
    Text all;
    Text allEscaped;
    for (int byte = 0x01; byte < 0x80; ++byte) {
        char expected[4];
        std::snprintf(expected, sizeof expected, "%%%02X", byte);
        SCOPED_TRACE(expected);
        EXPECT_EQ(EncodeKeyword(Text(1, static_cast<char>(byte))), expected);
        all += static_cast<char>(byte);
        allEscaped += expected;
    }
    // Together, they are escaped many at a time.
    EXPECT_EQ(EncodeKeyword(all), allEscaped);
}

TEST(EncodeKeyword, writesThreeCharactersPerUtf8Byte) {
    const struct {
        const char* name;
        Text keyword;
        std::size_t utf8Bytes;
    } cases[] = {
        {"ascii", "a", 1},
        {"latinLetter", "\xA8\xA6", 2},
        {"hanCharacter", "\xBA\xE9", 3},
        {"emojiInFourBytes", "\x94\x39\xFC\x36", 4},
        {"mixed", "a\xA8\xA6\xBA\xE9\x94\x39\xFC\x36", 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TextToUtf8(c.keyword).size(), c.utf8Bytes);
        const Text encoded = EncodeKeyword(c.keyword);
        EXPECT_EQ(encoded.size(), 3 * c.utf8Bytes);
        EXPECT_EQ(encoded.find_first_not_of("%0123456789ABCDEF"), Text::npos);
    }
}

TEST(EncodeKeyword, longKeyword_isEncodedWhole) {
    // 20000 characters, each two bytes in code page 936 and three in UTF-8.
    const Text keyword = repeat("\xBA\xE9\xBB\xC4\xD6\xAE\xC1\xA6", 5000);
    EXPECT_EQ(EncodeKeyword(keyword), repeat("%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B", 5000));
}

TEST(EncodeKeyword, euroSigns_growThreefoldAndAreEncodedWhole) {
    // One byte each in code page 936, three in UTF-8: more than twice the text's own length.
    const EncodeCase cases[] = {
        {"one", "\x80", "%E2%82%AC"},
        {"many", repeat("\x80", 3000), repeat("%E2%82%AC", 3000)},
        {"amongAscii",
         repeat("\x80"
                "a",
                1500),
         repeat("%E2%82%AC%61", 1500)},
        {"gb18030TwoByteForm", "\xA2\xE3", "%E2%82%AC"},
    };
    for (const auto& c : cases) expectEncodes(c);
}

TEST(EncodeKeyword, invalidBytes_becomeReplacementCharacter) {
    const EncodeCase cases[] = {
        {"byteFF", "\xFF", "%EF%BF%BD"},
        {"leadByteAtEnd", "a\x81", "%61%EF%BF%BD"},
        {"restIsKept", "\xFF\xBA\xE9 b", "%EF%BF%BD%E6%B4%AA%20%62"},
        {"asciiAfterLeadIsItself", "\x81 ", "%EF%BF%BD%20"},
        {"truncatedFourByte", "\x81\x30", "%EF%BF%BD%30"},
        {"pastLastCodePoint", "\xE3\x32\x9A\x36", "%EF%BF%BD%32%EF%BF%BD%36"},
    };
    for (const auto& c : cases) expectEncodes(c);
}

TEST(EncodeKeyword, embeddedNul_endsTheKeyword) {
    const EncodeCase cases[] = {
        {"afterText", "ab\0cd"s, "%61%62"},
        {"first", "\0ab"s, ""},
        {"afterHanCharacter", "\xBA\xE9\0\xBB\xC4"s, "%E6%B4%AA"},
    };
    for (const auto& c : cases) expectEncodes(c);
}

TEST(TextForms, charactersBeyondTheBasicPlane_roundTripThroughGb18030) {
    const struct {
        const char* name;
        Text gb18030;
        std::string wide;
        const char* encoded;
    } cases[] = {
        {"emoji", "\x94\x39\xFC\x36", "\x3D\xD8\x00\xDE\0\0"s, "%F0%9F%98%80"},
        {"extensionB", "\x95\x32\x82\x36", "\x40\xD8\x00\xDC\0\0"s, "%F0%A0%80%80"},
        {"basicPlaneAlongside", "\xBA\xE9\x95\x32\x82\x36", "\x2A\x6D\x40\xD8\x00\xDC\0\0"s,
         "%E6%B4%AA%F0%A0%80%80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TextToWide(c.gb18030, CP_GBK), c.wide);
        EXPECT_EQ(WideToText(c.wide, CP_GBK), c.gb18030);
        EXPECT_EQ(EncodeKeyword(c.gb18030), c.encoded);
    }
}

TEST(TextToWide, givesLowByteFirstUnitsEndingWithNul) {
    const struct {
        const char* name;
        Text text;
        unsigned codePage;
        std::string wide;
    } cases[] = {
        {"ascii", "ab", CP_GBK, "a\0b\0\0\0"s},
        {"hanCharacter", "\xBA\xE9", CP_GBK, "\x2A\x6D\0\0"s},
        {"ansiCodePageIsGbk", "\xBA\xE9", CP_ACP, "\x2A\x6D\0\0"s},
        {"utf8", "\xC3\xA9", CP_UTF8, "\xE9\0\0\0"s},
        {"emptyIsTheNulUnit", "", CP_GBK, "\0\0"s},
        {"stopsAtNul", "a\0b"s, CP_GBK, "a\0\0\0"s},
        {"unknownCodePage", "ab", 1252, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TextToWide(c.text, c.codePage), c.wide);
    }
}

TEST(WideToText, readsUpToTheFirstNulUnitOrTheEnd) {
    const struct {
        const char* name;
        std::string wide;
        unsigned codePage;
        Text text;
    } cases[] = {
        {"stopsAtNulUnit", "a\0b\0\0\0c\0"s, CP_UTF8, "ab"},
        {"withoutNulUnit", "a\0b\0"s, CP_UTF8, "ab"},
        {"oddByteIgnored", "a\0b"s, CP_UTF8, "a"},
        {"empty", "", CP_UTF8, ""},
        {"onlyNulUnit", "\0\0"s, CP_UTF8, ""},
        {"hanToGbk", "\x2A\x6D\0\0"s, CP_GBK, "\xBA\xE9"},
        {"hanToUtf8", "\x2A\x6D\0\0"s, CP_UTF8, "\xE6\xB4\xAA"},
        {"euroToGb18030", "\xAC\x20"s, CP_GBK, "\xA2\xE3"},
        {"unpairedSurrogateToUtf8", "a\0\x00\xD8"s, CP_UTF8, "a\xEF\xBF\xBD"},
        {"unpairedSurrogateToGb18030", "\x00\xDC"s, CP_GBK, "\x84\x31\xA4\x37"},
        {"unknownCodePage", "a\0"s, 1252, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WideToText(c.wide, c.codePage), c.text);
    }
}

}  // namespace
