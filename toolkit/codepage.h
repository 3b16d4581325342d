// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The Windows code-page conversion calls, for the code pages the program uses, over iconv.
//
// Code pages 0 and 936 are read and written as GB18030, the superset of GBK, so that every
// character survives the round trip; the single byte 0x80 reads as the euro sign, as in GBK.
// Code page 65001 is UTF-8. Input that is not valid in its encoding is never an error:
//   - a byte that begins no character of GB18030 reads as U+FFFD and decoding goes on with the
//     next byte: "\x81 " -> U+FFFD U+0020;
//   - each maximal ill-formed part of UTF-8 reads as one U+FFFD: "\xE6\xB4" -> U+FFFD;
//   - an unpaired UTF-16 surrogate is written as U+FFFD (EF BF BD, or 84 31 A4 37 in GB18030).
// A character GB18030 cannot hold (24 private-use code points, U+E78D..U+E864, whose bytes
// GB18030-2022 gave to standard characters) is written as the default character.
//
// Both calls are safe to use from several threads at once.
#pragma once

#include <cstdint>

inline constexpr unsigned CP_ACP = 0;  // the ANSI code page; on this platform it stands for 936
inline constexpr unsigned CP_GBK =
    936;  // read and written as GB18030 (superset), 0x80 alone = euro sign
inline constexpr unsigned CP_UTF8 = 65001;

// Decodes `input` in `codePage` to UTF-16.
//
// inputLength -1 takes `input` as NUL-terminated and converts the terminator too; any other
// length converts exactly that many bytes, NULs included, and adds no terminator.
// outputUnits 0 is the counting call: writes nothing and returns the number of UTF-16 units the
// whole output needs. Otherwise the call converts into `output`, within outputUnits units, and
// returns the number of units written.
// Returns 0 for an unknown code page, non-zero flags, a null input, inputLength 0 or below -1,
// and when the output does not fit (the buffer's content is then unspecified).
//   MultiByteToWideChar(CP_GBK, 0, "\xBA\xE9", -1, nullptr, 0) -> 2 (U+6D2A and the terminator)
int MultiByteToWideChar(unsigned codePage, std::uint32_t flags, const char* input, int inputLength,
                        char16_t* output, int outputUnits);

// Encodes the UTF-16 `input` in `codePage`; the sizes work as for MultiByteToWideChar, in bytes.
//
// A character the code page cannot hold is written as `defaultChar` (its bytes up to its NUL;
// "?" when null), and *usedDefaultChar, when given, tells whether that happened. UTF-8 holds
// every character, so there both are ignored and *usedDefaultChar is set to false.
//   WideCharToMultiByte(CP_GBK, 0, u"洪荒", 2, out, 4, nullptr, nullptr) -> 4, BA E9 BB C4
int WideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* input,
                        int inputLength, char* output, int outputBytes, const char* defaultChar,
                        bool* usedDefaultChar);
