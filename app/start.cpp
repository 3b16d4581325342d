// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "app/start.h"

#include "app/mainwindow.h"
#include "app/state.h"
#include "toolkit/fatal.h"
#include "toolkit/runtime.h"

#include <cfenv>

int StartProgram() {
    InitialiseToolkit();
    // Round to nearest with every exception masked: the layout divides by a design size
    // that may be 0 and relies on getting an infinity instead of a trap.
    std::fesetenv(FE_DFL_ENV);
    CreateProgramState();
    RegisterExitRoutine(ReleaseProgramState);
    if (CreateWindowFromDescription(mainWindowDescription) == 0) {
        FatalStop("the main window could not be created");
    }
    RunEventLoop();
    return 0;
}
