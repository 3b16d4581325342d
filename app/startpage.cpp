// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The build's start page for the result view.
extern const char resultViewStartPage[];
const char resultViewStartPage[] = TALVIMER_START_PAGE;
