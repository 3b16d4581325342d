// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The native window services the program's own code uses, with no GUI types in sight.
// A window handle is a small non-zero number that the toolkit maps to one of its widgets;
// once that widget is gone every call with its handle does nothing and reports failure.
#pragma once

#include <cstdint>

using WindowHandle = std::uint32_t;  // 0 is never a window

struct WindowRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
};

struct WindowPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Called once per descendant; returning 0 stops the walk.
using EnumChildProc = std::intptr_t (*)(WindowHandle window, std::intptr_t value);

// Walks every descendant of parent at any depth, in stacking order from the top, each
// window followed by its own descendants. Returns false when parent is not a window.
bool EnumChildWindows(WindowHandle parent, EnumChildProc proc, std::intptr_t value);

// The window's outer rectangle in screen coordinates.
bool GetWindowRect(WindowHandle window, WindowRect* rect);

// Places the window relative to its parent's client area; any size, 0 x 0 included.
bool MoveWindow(WindowHandle window, int x, int y, int width, int height, bool repaint);

// The window's parent, or 0 for a top-level window or a handle that is gone.
WindowHandle GetParent(WindowHandle window);

// Converts a point from screen coordinates to the window's client coordinates.
bool ScreenToClient(WindowHandle window, WindowPoint* point);
