// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// What a test driving the real binary from outside needs to know of its window.
#pragma once

namespace spots {

inline constexpr char caption[] = "Ostrevan专版-Talvimer2.0";

// Where the controls are at the design size, in window coordinates: the middle of each.
struct Spot {
    int x, y;
};
inline constexpr Spot keywordBox = {99, 20};
inline constexpr Spot identicalButton = {242, 20};
inline constexpr Spot similarButton = {330, 20};
inline constexpr Spot registrationButton = {426, 20};
inline constexpr Spot applicantButton = {530, 20};
inline constexpr Spot agencyButton = {642, 20};

}  // namespace spots
