// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Today's date in the status bar.
#pragma once

// Writes today's local date, "%d年%d月%d日" (2017年2月1日), into part 1 of 状态条1. Runs once,
// when the window has been created; nothing refreshes it.
void ShowDateInStatusBar();
