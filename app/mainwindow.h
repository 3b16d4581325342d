// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The description of MainWindow: its properties, its controls and its event bindings.
#pragma once

#include "toolkit/window.h"

extern const WindowDescription mainWindowDescription;

// Part 0 of the status bar; part 1 receives the date.
extern const char creditLine[];

// The page the result view loads when the window opens.
extern const char resultViewStartPage[];
