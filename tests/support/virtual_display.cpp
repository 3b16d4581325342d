// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "support/virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// The number Xvfb sees the -displayfd pipe under.
constexpr int kDisplayFdInChild = 3;

// Reads the newline-terminated display number Xvfb writes once it listens; nullopt if Xvfb closes
// the pipe (it failed) or `timeout` passes.
std::optional<int> readDisplayNumber(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string text;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        text.append(buffer, static_cast<std::size_t>(n));
        const auto newline = text.find('\n');
        if (newline == std::string::npos) continue;
        int number = -1;
        const auto [end, error] = std::from_chars(text.data(), text.data() + newline, number);
        if (error != std::errc() || end != text.data() + newline || number < 0) return std::nullopt;
        return number;
    }
}

}  // namespace

VirtualDisplay::VirtualDisplay(VirtualDisplayOptions options) : m_options(options) {
    if (!isExecutableInPath("Xvfb")) {
        m_missing = true;
        m_error = "Xvfb is not installed (Debian package xvfb)";
        return;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        m_error = std::string("pipe2: ") + std::strerror(errno);
        return;
    }
    const std::string screen = std::to_string(options.width) + "x" +
                               std::to_string(options.height) + "x" + std::to_string(options.depth);
    ProcessOptions processOptions;
    processOptions.stdoutTo = Output::discard();
    processOptions.stderrTo = Output::capture();
    processOptions.passFds = {{ends[1], kDisplayFdInChild}};
    try {
        m_process.emplace(
            std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(kDisplayFdInChild),
                                     "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
            std::move(processOptions));
    } catch (const std::system_error& e) {
        ::close(ends[0]);
        ::close(ends[1]);
        m_error = e.what();
        return;
    }
    // Only Xvfb may hold the write end now, so a dying Xvfb shows as end-of-file.
    ::close(ends[1]);
    const std::optional<int> number = readDisplayNumber(ends[0], options.startTimeout);
    ::close(ends[0]);
    if (!number) {
        m_process->stop();
        m_error = "Xvfb did not report a display number; its messages:\n" +
                  m_process->captured(Stream::Stderr);
        m_process.reset();
        return;
    }
    m_number = *number;
    m_name = ":" + std::to_string(*number);
}

VirtualDisplay::~VirtualDisplay() {
    stop();
}

std::string VirtualDisplay::serverLog() const {
    return m_process ? m_process->captured(Stream::Stderr) : std::string();
}

void VirtualDisplay::stop() {
    if (!m_process) return;
    m_process->stop();
    m_process.reset();
    m_name.clear();
    m_number = -1;
}

}  // namespace testsupport
