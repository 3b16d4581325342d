// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// An Xvfb server of the test's own on a display number it picks itself, stopped by its PID.
//
//   VirtualDisplay display;
//   if (display.missing()) GTEST_SKIP() << display.error();
//   ASSERT_TRUE(display.running()) << display.error();
//   // start a client with DISPLAY=display.name(), e.g. ":1"
#pragma once

#include "support/process.h"

#include <chrono>
#include <optional>
#include <string>

namespace testsupport {

struct VirtualDisplayOptions {
    int width = 1280;
    int height = 800;
    int depth = 24;
    // How long Xvfb may take to report its display number.
    std::chrono::milliseconds startTimeout{20000};
};

class VirtualDisplay {
public:
    // Starts Xvfb with -displayfd (it takes the first free display number), -nolisten tcp and
    // -noreset, so the server does not reset between the test's clients. Never throws: check
    // missing() and running().
    explicit VirtualDisplay(VirtualDisplayOptions options = {});
    ~VirtualDisplay();  // stop()

    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Xvfb is not installed: the test should skip.
    bool missing() const { return m_missing; }
    // The server is up and accepts clients at name().
    bool running() const { return m_process.has_value() && !m_name.empty(); }
    // Why the display is not running, with Xvfb's own messages where there are any.
    const std::string& error() const { return m_error; }

    const std::string& name() const { return m_name; }  // ":3"; empty unless running()
    int number() const { return m_number; }             // 3; -1 unless running()
    int width() const { return m_options.width; }
    int height() const { return m_options.height; }
    pid_t pid() const { return m_process ? m_process->pid() : -1; }

    // What Xvfb wrote to stderr so far; useful in a failure message.
    std::string serverLog() const;

    // Stops Xvfb by its PID (SIGTERM, bounded wait, SIGKILL) and reaps it. Safe to call again.
    void stop();

private:
    VirtualDisplayOptions m_options;
    std::optional<Process> m_process;
    bool m_missing = false;
    std::string m_error;
    std::string m_name;
    int m_number = -1;
};

}  // namespace testsupport
