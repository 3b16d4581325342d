// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The keyword encoder: the keyword as the request URLs carry it, and the code-page conversions
// under it. None of these keeps any state, and none fails: bytes that are not valid in their
// code page become U+FFFD.
#pragma once

#include <string>

// A byte string in code page 936, read as GB18030. The same alias may be declared elsewhere.
using Text = std::string;

// The keyword's UTF-8 form with every byte written as "%" and two upper-case hexadecimal digits,
// letters and digits included; empty for an empty keyword. The keyword ends at its first NUL.
//   "abc"              -> "%61%62%63"
//   "\xBA\xE9\xBB\xC4" -> "%E6%B4%AA%E8%8D%92" (洪荒)
Text EncodeKeyword(const Text& keyword);

// The same characters as UTF-8, up to the text's first NUL.
//   "\xC6\xBB\xB9\xFB" -> "\xE8\x8B\xB9\xE6\x9E\x9C" (苹果)
//   "\x80"             -> "\xE2\x82\xAC" (the euro sign)
Text TextToUtf8(const Text& text);

// The UTF-16 form of `text` in `codePage` (0, 936 or 65001), up to its first NUL: two bytes per
// unit, low byte first, ending with a NUL unit. Empty for an unknown code page.
//   ("ab", 936) -> "a\0b\0\0\0"
std::string TextToWide(const Text& text, unsigned codePage);

// Text in `codePage` from a UTF-16 form as TextToWide gives it, up to its first NUL unit or the
// end of `wide`, whichever comes first; an odd last byte is ignored.
//   ("a\0b\0\0\0", 65001) -> "ab"
Text WideToText(const std::string& wide, unsigned codePage);
