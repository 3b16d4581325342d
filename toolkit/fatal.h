// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The toolkit's fatal stop: one line on stderr, then exit status 255 at once, without
// running any exit routine.
#pragma once

#include <cstddef>
#include <string_view>

[[noreturn]] void FatalStop(std::string_view reason);

// Sends failed allocations and uncaught exceptions to FatalStop.
void InstallFatalHandlers();

// Checked list access: an index outside the list is a fatal stop, never a stray read.
template <typename List>
auto& ListAt(List& list, std::size_t index) {
    if (index >= list.size()) FatalStop("list index out of range");
    return list[index];
}
