// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The program's entry, called once by the toolkit's process start-up.
#pragma once

// Brings up the toolkit, creates the program state, registers its release as the exit routine,
// creates MainWindow and runs the event loop. Returns 0 once the window has been closed.
int StartProgram();
