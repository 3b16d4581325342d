// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "layout/statusdate.h"

#include "toolkit/clock.h"
#include "toolkit/window.h"

void ShowDateInStatusBar() {
    const LocalDateTime today = AtMidnight(CurrentLocalDateTime());
    const Text text = DateTimeToText(today);
    SetStatusPartText(FindWindowNamed("状态条1"), 1, text);
}
