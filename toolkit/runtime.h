// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Process start, exit routines, the event loop and the orderly exit.
#pragma once

// The process's whole life: start-up of the toolkit's process services, startProgram on the
// main thread, then the orderly exit (every registered exit routine once, in registration
// order) and the quit request's code as the process's exit code. Reads no command line.
int RunProcess(int (*startProgram)());

// Prepares the toolkit for windows and web views. Sets Qt WebEngine's sandbox off only when
// the effective user is root, and keeps whatever browser flags the environment already holds.
void InitialiseToolkit();

void RegisterExitRoutine(void (*routine)());

// Runs exit routines once each in registration order and forgets them; RunProcess calls it.
void RunExitRoutines();

// Dispatches events until the last window is destroyed; returns the quit request's code.
int RunEventLoop();

// Releases what InitialiseToolkit made. RunProcess calls it after the exit routines.
void ShutdownToolkit();
