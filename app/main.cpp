// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "app/start.h"
#include "toolkit/runtime.h"

int main() {
    return RunProcess(StartProgram);
}
