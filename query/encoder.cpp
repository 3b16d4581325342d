// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "query/encoder.h"

#include "toolkit/codepage.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace {

// Each byte's escape, with a spare fourth byte so that one four-byte copy writes it; the next
// escape overwrites the spare.
struct Escapes {
    char text[256][4];
};

constexpr Escapes makeEscapes() {
    constexpr char digits[] = "0123456789ABCDEF";
    Escapes escapes{};
    for (int byte = 0; byte < 256; ++byte) {
        escapes.text[byte][0] = '%';
        escapes.text[byte][1] = digits[byte >> 4];
        escapes.text[byte][2] = digits[byte & 0xF];
    }
    return escapes;
}

constexpr Escapes kEscapes = makeEscapes();

#if defined(__x86_64__) || defined(__i386__)
// Escapes sixteen bytes at a time, as many whole blocks as `size` holds, to `out`; returns the
// number of bytes escaped. Each block's 48 characters are three shuffles of the digits; x86
// processors have had the shuffle (SSSE3) since 2006, and those without it take the table.
[[gnu::target("ssse3")]] std::size_t escapeBlocks(const unsigned char* bytes, std::size_t size,
                                                  char* out) {
    // For each of the three vectors of output: where its characters come from among the high
    // digits, among the low digits, and which are "%". -1 picks nothing.
    alignas(16) static constexpr signed char kFromHigh[3][16] = {
        {-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1},
        {5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10},
        {-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1}};
    alignas(16) static constexpr signed char kFromLow[3][16] = {
        {-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1},
        {-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1},
        {10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15}};
    alignas(16) static constexpr char kPercent[3][16] = {
        {'%', 0, 0, '%', 0, 0, '%', 0, 0, '%', 0, 0, '%', 0, 0, '%'},
        {0, 0, '%', 0, 0, '%', 0, 0, '%', 0, 0, '%', 0, 0, '%', 0},
        {0, '%', 0, 0, '%', 0, 0, '%', 0, 0, '%', 0, 0, '%', 0, 0}};
    const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B',
                                         'C', 'D', 'E', 'F');
    const __m128i nibble = _mm_set1_epi8(0x0F);
    __m128i fromHigh[3];
    __m128i fromLow[3];
    __m128i percent[3];
    for (int k = 0; k < 3; ++k) {
        fromHigh[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(kFromHigh[k]));
        fromLow[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(kFromLow[k]));
        percent[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(kPercent[k]));
    }
    std::size_t done = 0;
    for (; size - done >= 16; done += 16, out += 48) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + done));
        const __m128i high =
            _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(block, 4), nibble));
        const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(block, nibble));
        for (int k = 0; k < 3; ++k) {
            const __m128i characters =
                _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(high, fromHigh[k]),
                                          _mm_shuffle_epi8(low, fromLow[k])),
                             percent[k]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k), characters);
        }
    }
    return done;
}

bool canEscapeBlocks() {
    static const bool supported = __builtin_cpu_supports("ssse3");
    return supported;
}
#else
std::size_t escapeBlocks(const unsigned char*, std::size_t, char*) {
    return 0;
}
bool canEscapeBlocks() {
    return false;
}
#endif

// The position of the first NUL unit, or the size when there is none; eight units at a time
// where it can.
std::size_t firstNulUnit(const std::u16string& units) {
    std::size_t pos = 0;
#if defined(__SSE2__)
    for (; units.size() - pos >= 8; pos += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units.data() + pos));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(block, _mm_setzero_si128())) != 0) break;
    }
#endif
    while (pos < units.size() && units[pos] != u'\0') ++pos;
    return pos;
}

}  // namespace

Text EncodeKeyword(const Text& keyword) {
    const Text utf8 = TextToUtf8(keyword);
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t size = utf8.size();
    Text encoded;
    encoded.reserve(3 * size);
    // The escapes are written to a block on the stack and appended from there: a string cannot
    // grow without first filling what it grows by, and the output is too large for the cache
    // to hide writing it twice. The block has a spare byte for the table's four-byte copies.
    constexpr std::size_t kBlock = 1024;
    char block[3 * kBlock + 1];
    const bool blocks = canEscapeBlocks();
    for (std::size_t start = 0; start < size; start += kBlock) {
        const std::size_t count = std::min(kBlock, size - start);
        const std::size_t escaped = blocks ? escapeBlocks(bytes + start, count, block) : 0;
        for (std::size_t i = escaped; i < count; ++i) {
            std::memcpy(block + 3 * i, kEscapes.text[bytes[start + i]], 4);
        }
        encoded.append(block, 3 * count);
    }
    return encoded;
}

Text TextToUtf8(const Text& text) {
    return WideToText(TextToWide(text, CP_GBK), CP_UTF8);
}

std::string TextToWide(const Text& text, unsigned codePage) {
    // Counted in the code page that converts, so the buffer holds exactly what is written.
    const int units = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 0) return {};
    std::u16string buffer(static_cast<std::size_t>(units), u'\0');
    MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), units);
    if constexpr (std::endian::native == std::endian::little) {
        return std::string(reinterpret_cast<const char*>(buffer.data()), 2 * buffer.size());
    } else {
        std::string wide(2 * buffer.size(), '\0');
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            wide[2 * i] = static_cast<char>(buffer[i] & 0xFF);
            wide[2 * i + 1] = static_cast<char>(buffer[i] >> 8);
        }
        return wide;
    }
}

Text WideToText(const std::string& wide, unsigned codePage) {
    // An aligned copy of the units, and the text ends at the first NUL unit or with them.
    std::u16string units(wide.size() / 2, u'\0');
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(units.data(), wide.data(), 2 * units.size());
    } else {
        for (std::size_t i = 0; i < units.size(); ++i) {
            units[i] = static_cast<char16_t>(static_cast<unsigned char>(wide[2 * i]) |
                                             static_cast<unsigned char>(wide[2 * i + 1]) << 8);
        }
    }
    const std::size_t length = firstNulUnit(units);
    if (length == 0 || length > INT_MAX) return {};
    // Counted in the converting code page and converted with exactly that room; the calls
    // fail rather than write less.
    const int bytes = WideCharToMultiByte(codePage, 0, units.data(), static_cast<int>(length),
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    Text text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, units.data(), static_cast<int>(length), text.data(), bytes,
                        nullptr, nullptr);
    return text;
}
