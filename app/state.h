// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The program-wide values and the shared records. Each value exists once per process, from
// CreateProgramState until ReleaseProgramState.
#pragma once

#include "toolkit/native.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using Text = std::string;  // bytes in code page 936; empty and absent are the same

// One descendant of the main window as it was when the window was created: its place relative
// to its own parent's client area and its outer size, in pixels.
struct ChildLayout {
    WindowHandle handle = 0;
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// The keyword of the last query, percent-escaped; no text until the first query.
extern std::unique_ptr<Text> encodedKeyword;

// The main window's client rectangle when its layout was captured: left and top stay 0, right
// is the client width and bottom the client height.
extern std::unique_ptr<WindowRect> DesignClientSize;

// Every descendant of the main window that existed when it was created, in enumeration order.
extern std::unique_ptr<std::vector<WindowHandle>> childWindowList;

// One record per entry of childWindowList, in the same order; the list owns its records.
extern std::unique_ptr<std::vector<std::unique_ptr<ChildLayout>>> childLayoutList;

// Creates DesignClientSize (all 0) and the two empty lists; encodedKeyword stays empty.
void CreateProgramState();

// Releases encodedKeyword if it holds a text, then DesignClientSize, then childWindowList,
// then every record of childLayoutList from first to last, then that list.
void ReleaseProgramState();
