// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Feeds arbitrary bytes to EncodeKeyword and checks its output against a UTF-8 form worked out
// one character at a time straight from GB18030, a different road from the encoder's (whole
// chunks through UTF-16).

#include "query/encoder.h"

#include "toolkit/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_encode_keyword: %s\n", what);
    std::abort();
}

// Appends the UTF-8 form of bytes[0, length) when they are exactly one GB18030 character.
bool appendCharacter(const std::uint8_t* bytes, std::size_t length, std::string& utf8) {
    static const iconv_t decoder = iconv_open("UTF-8", "GB18030");
    if (decoder == reinterpret_cast<iconv_t>(-1)) fail("iconv_open failed");
    iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    char input[4];
    std::memcpy(input, bytes, length);
    char output[8];
    char* in = input;
    std::size_t inLeft = length;
    char* out = output;
    std::size_t outLeft = sizeof output;
    if (iconv(decoder, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) return false;
    utf8.append(output, out);
    return true;
}

// The keyword ends at its first NUL; 0x80 alone is the euro sign; a byte that begins no
// character stands for U+FFFD and the next byte is read afresh.
std::string referenceUtf8(const std::uint8_t* data, std::size_t size) {
    const std::size_t end = std::find(data, data + size, 0) - data;
    std::string utf8;
    std::size_t pos = 0;
    while (pos < end) {
        const std::uint8_t byte = data[pos];
        if (byte == 0x80) {
            utf8 += "\xE2\x82\xAC";
            ++pos;
            continue;
        }
        // GB18030 characters are one, two or four bytes long, and no character begins another.
        constexpr std::size_t kLengths[] = {1, 2, 4};
        std::size_t length = 0;
        for (const std::size_t candidate : kLengths) {
            if (candidate <= end - pos && appendCharacter(data + pos, candidate, utf8)) {
                length = candidate;
                break;
            }
        }
        if (length == 0) {
            utf8 += "\xEF\xBF\xBD";
            length = 1;
        }
        pos += length;
    }
    return utf8;
}

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

std::string unescape(const Text& encoded) {
    if (encoded.size() % 3 != 0) fail("length is not a multiple of three");
    std::string bytes;
    for (std::size_t i = 0; i < encoded.size(); i += 3) {
        const int high = hexValue(encoded[i + 1]);
        const int low = hexValue(encoded[i + 2]);
        if (encoded[i] != '%' || high < 0 || low < 0) fail("not a \"%XX\" escape in upper case");
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Text keyword(reinterpret_cast<const char*>(data), size);
    const Text encoded = EncodeKeyword(keyword);
    if (unescape(encoded) != referenceUtf8(data, size)) fail("escapes differ from the UTF-8 form");
    // The decoded characters written back as GB18030 must mean the same keyword.
    if (EncodeKeyword(WideToText(TextToWide(keyword, CP_GBK), CP_GBK)) != encoded) {
        fail("the keyword changed through its GB18030 text form");
    }
    return 0;
}
