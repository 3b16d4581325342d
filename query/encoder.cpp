// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "query/encoder.h"

#include "toolkit/codepage.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>

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

}  // namespace

Text EncodeKeyword(const Text& keyword) {
    const Text utf8 = TextToUtf8(keyword);
    Text encoded;
    encoded.reserve(3 * utf8.size());
    // Escapes go through a block on the stack: a string cannot grow without first filling what
    // it grows by, and appending three bytes at a time checks the capacity for each byte.
    constexpr std::size_t kBlock = 1024;
    char block[3 * kBlock + 1];
    const auto* byte = reinterpret_cast<const unsigned char*>(utf8.data());
    std::size_t left = utf8.size();
    while (left > 0) {
        const std::size_t count = std::min(left, kBlock);
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(block + 3 * i, kEscapes.text[byte[i]], 4);
        }
        encoded.append(block, 3 * count);
        byte += count;
        left -= count;
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
    if (wide.size() < 2) return {};
    // A terminated copy, so that the -1 length never reads past the end of `wide`.
    std::u16string units(wide.size() / 2, u'\0');
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(units.data(), wide.data(), 2 * units.size());
    } else {
        for (std::size_t i = 0; i < units.size(); ++i) {
            units[i] = static_cast<char16_t>(static_cast<unsigned char>(wide[2 * i]) |
                                             static_cast<unsigned char>(wide[2 * i + 1]) << 8);
        }
    }
    const int bytes =
        WideCharToMultiByte(codePage, 0, units.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    // Room for twice the count, so that a short count could never cut the text; the count is
    // taken in the converting code page and is exact, so the second half stays blank.
    const std::size_t room = std::min<std::size_t>(2 * static_cast<std::size_t>(bytes), INT_MAX);
    std::string buffer(room, ' ');
    WideCharToMultiByte(codePage, 0, units.c_str(), -1, buffer.data(), static_cast<int>(room),
                        nullptr, nullptr);
    return Text(buffer.c_str());
}
