// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The local clock and calendar.
#pragma once

#include <ctime>
#include <string>

using Text = std::string;  // bytes in code page 936

struct LocalDateTime {
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Now, on the machine's clock, in its local time zone (TZ is honoured).
LocalDateTime CurrentLocalDateTime();

// The same calendar day at 00:00:00.
LocalDateTime AtMidnight(const LocalDateTime& value);

// "%d年%d月%d日", then "%d时%d分%d秒", "%d时%d分" or "%d时" as far as the time of day is not
// zero; nothing more at midnight. 2017-02-01 00:00 -> "2017年2月1日". The text is in code page 936.
Text DateTimeToText(const LocalDateTime& value);

// Lets a test fix the instant that CurrentLocalDateTime reads; nullptr restores the real clock.
using ClockSource = std::time_t (*)();
void SetClockSourceForTesting(ClockSource source);
