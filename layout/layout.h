// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Proportional layout: every descendant of MainWindow that existed when it was created keeps
// its place and size in proportion to the client area.
#pragma once

#include "app/state.h"

#include <cstdint>

// Records the client size, every descendant of MainWindow and each one's rectangle relative to
// its own parent's client area. Runs once, when the window has been created.
void CaptureLayout();

// The enumeration callback: appends window to childWindowList and goes on to the next one.
std::intptr_t CollectDescendant(WindowHandle window, std::intptr_t value);

// Moves and sizes every recorded descendant to its recorded rectangle scaled by the ratio of
// the current client size to the recorded one. The handler of every size change.
void ApplyLayout();

// client / design, divided in double precision and narrowed to single precision.
// (1000, 300) -> 3.33333325f; a design of 0 gives an infinity or a NaN.
float LayoutRatio(std::int32_t client, std::int32_t design);

// value * ratio in double precision, truncated toward zero; a product that is not finite
// gives 0. (300, 3.33333325f) -> 999; (8, 3.33333325f) -> 26.
std::int32_t ScaleLength(std::int32_t value, float ratio);

struct ScaledRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;

    friend bool operator==(const ScaledRect&, const ScaledRect&) = default;
};

// Where a record goes for the two ratios: left and width by widthRatio, top and height by
// heightRatio.
ScaledRect ScaleChildLayout(const ChildLayout& record, float widthRatio, float heightRatio);
