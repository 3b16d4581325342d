// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/clock.h"

#include "toolkit/codepage.h"

#include <cstdio>
#include <vector>

namespace {

ClockSource clockSource = nullptr;

Text Utf8ToCodePage936(const std::string& utf8) {
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::vector<char16_t> wide(units > 0 ? units : 1);
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    const int bytes = WideCharToMultiByte(CP_GBK, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes : 1, '\0');
    WideCharToMultiByte(CP_GBK, 0, wide.data(), -1, text.data(), static_cast<int>(text.size()),
                        nullptr, nullptr);
    text.resize(text.find('\0'));
    return text;
}

}  // namespace

LocalDateTime CurrentLocalDateTime() {
    const std::time_t now = clockSource ? clockSource() : std::time(nullptr);
    std::tm local{};
    tzset();
    localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
}

LocalDateTime AtMidnight(const LocalDateTime& value) {
    LocalDateTime midnight = value;
    midnight.hour = midnight.minute = midnight.second = 0;
    return midnight;
}

Text DateTimeToText(const LocalDateTime& value) {
    char buffer[96];
    int length =
        std::snprintf(buffer, sizeof buffer, "%d年%d月%d日", value.year, value.month, value.day);
    const std::size_t room = sizeof buffer - length;
    if (value.second != 0) {
        std::snprintf(buffer + length, room, "%d时%d分%d秒", value.hour, value.minute,
                      value.second);
    } else if (value.minute != 0) {
        std::snprintf(buffer + length, room, "%d时%d分", value.hour, value.minute);
    } else if (value.hour != 0) {
        std::snprintf(buffer + length, room, "%d时", value.hour);
    }
    return Utf8ToCodePage936(buffer);
}

void SetClockSourceForTesting(ClockSource source) {
    clockSource = source;
}
