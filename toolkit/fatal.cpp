// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/fatal.h"

#include <unistd.h>

#include <exception>
#include <new>
#include <string>

void FatalStop(std::string_view reason) {
    // Built without allocating: this runs when memory has run out.
    static constexpr std::string_view prefix = "talvimer: fatal error: ";
    ssize_t ignored = ::write(STDERR_FILENO, prefix.data(), prefix.size());
    ignored = ::write(STDERR_FILENO, reason.data(), reason.size());
    ignored = ::write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    ::_exit(255);
}

void InstallFatalHandlers() {
    std::set_new_handler([] { FatalStop("out of memory"); });
    std::set_terminate([] {
        if (auto current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::bad_alloc&) {
                FatalStop("out of memory");
            } catch (const std::exception& e) {
                FatalStop(e.what());
            } catch (...) {
            }
        }
        FatalStop("unexpected termination");
    });
}
