// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// What a test driving the real binary from outside needs: its window's caption, where its
// controls are, and how to start it on a virtual display with its views sent through the stand-in.
#pragma once

#include "support/process.h"
#include "support/stand_in_service.h"
#include "support/virtual_display.h"

namespace outside_in {

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

// The program's environment: the display, browser traffic through the stand-in, and nothing
// that would choose another platform; its output is captured so a test can show or check it.
inline testsupport::ProcessOptions ProgramOptions(const testsupport::VirtualDisplay& display,
                                                  const testsupport::StandInService& service) {
    testsupport::ProcessOptions options;
    options.setEnvironment = {{"DISPLAY", display.name()},
                              {"QTWEBENGINE_CHROMIUM_FLAGS", service.chromiumFlags()}};
    options.unsetEnvironment = {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY"};
    options.stdoutTo = testsupport::Output::capture();
    options.stderrTo = testsupport::Output::capture();
    return options;
}

}  // namespace outside_in
