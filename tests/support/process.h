// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// One child program started by a test and stopped by its PID, so that no zombie and no stray
// descendant outlives the test.
//
//   Process sleeper({"sleep", "100"});
//   ExitStatus status = sleeper.stop();   // SIGTERM, bounded wait, SIGKILL, reaped
//   // status == ExitStatus::killedBy(SIGTERM)
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

// How a child ended: its exit code, or the number of the signal that ended it.
struct ExitStatus {
    bool signaled = false;
    int value = 0;  // exit code 0..255, or the signal number when signaled

    static ExitStatus exited(int code) { return {false, code}; }
    static ExitStatus killedBy(int signal) { return {true, signal}; }

    bool operator==(const ExitStatus&) const = default;
};

// "exit code 3", "signal 15 (Terminated)".
std::string toString(const ExitStatus& status);
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

// Where one output stream of the child goes.
struct Output {
    enum class Kind { Inherit, Discard, File, Capture };
    Kind kind = Kind::Inherit;
    std::string path;  // only for Kind::File

    static Output inherit() { return {}; }                   // the test's own stream
    static Output discard() { return {Kind::Discard, {}}; }  // /dev/null
    static Output toFile(std::string path) { return {Kind::File, std::move(path)}; }  // truncated
    static Output capture() { return {Kind::Capture, {}}; }  // a pipe drained into memory
};

enum class Stream { Stdout, Stderr };

struct ProcessOptions {
    // The child's environment is the test's own, minus `unsetEnvironment`, plus `setEnvironment`
    // (which replaces a variable of the same name rather than adding a second entry).
    std::map<std::string, std::string> setEnvironment;
    std::vector<std::string> unsetEnvironment;
    Output stdoutTo;
    Output stderrTo;
    // Descriptors handed to the child: {descriptor here, number in the child}. Every other
    // descriptor the support library opens is close-on-exec; stdin is always /dev/null.
    std::vector<std::pair<int, int>> passFds;
    // The child leads a process group of its own, so that once it has ended, stop() and waitExit()
    // also SIGKILL and reap the descendants it left behind in that group (browser helper
    // processes, for example). For the reaping, the first Process makes the test binary a child
    // subreaper (PR_SET_CHILD_SUBREAPER), so orphaned descendants come to it instead of PID 1.
    bool ownProcessGroup = true;
    // A safety net for a test binary that dies without running destructors (a crash, or ctest
    // killing it at its time limit): the child is started through setpriv --pdeathsig TERM, when
    // setpriv (util-linux) is installed, so it receives SIGTERM once its parent goes. Linux ties
    // this to the starting thread: start long-lived children from the test's main thread.
    bool endWithTest = true;
};

class Process {
public:
    // Starts argv[0], looked up in this process's PATH when it holds no slash. Throws
    // std::system_error when the program cannot be started (ENOENT for a missing program).
    explicit Process(std::vector<std::string> argv, ProcessOptions options = {});
    ~Process();  // stop()

    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;  // stops the process it held before
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const;

    // The exit status once the child has ended within `timeout`, else nullopt. An ended child is
    // reaped at once (its process group, if any, is SIGKILLed first).
    std::optional<ExitStatus> waitExit(std::chrono::milliseconds timeout);

    // Ends the child if it still runs: SIGTERM to its PID, up to `grace` for it to go, then
    // SIGKILL; always reaps it and collects the rest of its captured output. Safe to call again.
    ExitStatus stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    // What the child has written so far to a stream given Output::capture(); all of it once stop()
    // has returned.
    std::string captured(Stream stream) const;

    // Waits until the captured stream contains `text`; false after `timeout`.
    bool waitForCaptured(Stream stream, std::string_view text, std::chrono::milliseconds timeout);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Whether `program` names an executable file, directly or through PATH.
bool isExecutableInPath(const std::string& program);

}  // namespace testsupport
