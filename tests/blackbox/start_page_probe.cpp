// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The program as built, but with a start page on a test host that the stand-in serves.
#include "app/start.h"
#include "toolkit/runtime.h"

extern const char resultViewStartPage[];
const char resultViewStartPage[] = "http://start.talvimer.test/welcome.html";

int main() {
    return RunProcess(StartProgram);
}
