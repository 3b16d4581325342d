// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Runs a suite of in-process window tests with the toolkit up on Qt's offscreen platform.
#include "toolkit/runtime.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    InitialiseToolkit();
    const int result = RUN_ALL_TESTS();
    ShutdownToolkit();
    return result;
}
