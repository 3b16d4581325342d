// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "app/state.h"

std::unique_ptr<Text> encodedKeyword;
std::unique_ptr<WindowRect> DesignClientSize;
std::unique_ptr<std::vector<WindowHandle>> childWindowList;
std::unique_ptr<std::vector<std::unique_ptr<ChildLayout>>> childLayoutList;

void CreateProgramState() {
    DesignClientSize = std::make_unique<WindowRect>();
    childWindowList = std::make_unique<std::vector<WindowHandle>>();
    childLayoutList = std::make_unique<std::vector<std::unique_ptr<ChildLayout>>>();
}

void ReleaseProgramState() {
    encodedKeyword.reset();
    DesignClientSize.reset();
    childWindowList.reset();
    if (childLayoutList) {
        for (auto& record : *childLayoutList) record.reset();
    }
    childLayoutList.reset();
}
