// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/text.h"

#include "toolkit/codepage.h"

#include <vector>

std::string ToText(const QString& string) {
    if (string.isEmpty()) return {};
    const auto* units = reinterpret_cast<const char16_t*>(string.utf16());
    const int length = static_cast<int>(string.size());
    const int bytes = WideCharToMultiByte(CP_GBK, 0, units, length, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_GBK, 0, units, length, text.data(), bytes, nullptr, nullptr);
    }
    // A NUL typed into a control ends the text, as it would in a terminated string.
    if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

QString FromText(const std::string& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_GBK, 0, text.data(), length, nullptr, 0);
    std::vector<char16_t> wide(units > 0 ? units : 0);
    if (units > 0) MultiByteToWideChar(CP_GBK, 0, text.data(), length, wide.data(), units);
    return QString(reinterpret_cast<const QChar*>(wide.data()),
                   static_cast<qsizetype>(wide.size()));
}
