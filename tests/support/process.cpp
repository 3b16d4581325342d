// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long stop() waits after SIGKILL before falling back to a blocking waitpid, and how long it
// waits for the output pipes to reach end-of-file once the child is gone.
constexpr milliseconds kKillWait{30000};
constexpr milliseconds kDrainWait{2000};
// How long a start through setpriv may take to reach the program itself.
constexpr milliseconds kExecWait{5000};
// How long a stop waits for the rest of a process group to die and be reaped.
constexpr milliseconds kGroupWait{2000};

std::system_error systemError(int error, const std::string& what) {
    return std::system_error(error, std::generic_category(), what);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string variableName(const char* entry) {
    const char* equals = std::strchr(entry, '=');
    return equals ? std::string(entry, equals) : std::string(entry);
}

std::vector<std::string> childEnvironment(const ProcessOptions& options) {
    std::set<std::string> dropped(options.unsetEnvironment.begin(), options.unsetEnvironment.end());
    for (const auto& [name, value] : options.setEnvironment) dropped.insert(name);
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (!dropped.contains(variableName(*entry))) entries.emplace_back(*entry);
    }
    for (const auto& [name, value] : options.setEnvironment) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

ExitStatus decode(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return ExitStatus::exited(info.si_status);
    return ExitStatus::killedBy(info.si_status);
}

ExitStatus decodeWaitStatus(int status) {
    if (WIFEXITED(status)) return ExitStatus::exited(WEXITSTATUS(status));
    return ExitStatus::killedBy(WTERMSIG(status));
}

// Descendants orphaned by a stop would otherwise pass to PID 1, and an init that does not reap
// (common in containers) keeps them as zombies for good.
void becomeSubreaper() {
    static std::once_flag once;
    std::call_once(once, [] { ::prctl(PR_SET_CHILD_SUBREAPER, 1); });
}

// Kills and reaps what is left of a process group whose leader has been reaped: as subreaper this
// process inherits the orphaned members. Ends when the group is empty or after kGroupWait.
void reapGroup(pid_t group) {
    const auto deadline = Clock::now() + kGroupWait;
    for (;;) {
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PGID, static_cast<id_t>(group), &info, WEXITED | WNOHANG) != 0 ||
                info.si_pid == 0)
                break;
        }
        // The group ID cannot be reused while any member, zombies included, still exists.
        if (::kill(-group, SIGKILL) != 0 && errno == ESRCH) return;
        if (Clock::now() >= deadline) return;
        std::this_thread::sleep_for(milliseconds(2));
    }
}

// setpriv arms the parent-death signal only once it runs; until it has gone on to exec the
// program, a parent that dies leaves the child unarmed. Waiting for the exec closes that gap.
void waitUntilExecuted(pid_t pid) {
    const auto deadline = Clock::now() + kExecWait;
    const std::string commPath = "/proc/" + std::to_string(pid) + "/comm";
    while (Clock::now() < deadline) {
        std::ifstream comm(commPath);
        std::string name;
        if (!std::getline(comm, name) || name != "setpriv") return;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return;  // setpriv failed and exited
        std::this_thread::sleep_for(milliseconds(1));
    }
}

}  // namespace

std::string toString(const ExitStatus& status) {
    std::ostringstream text;
    if (!status.signaled) {
        text << "exit code " << status.value;
    } else {
        const char* name = sigabbrev_np(status.value);
        text << "signal " << status.value << " (SIG" << (name ? name : "?") << ")";
    }
    return text.str();
}

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
    return out << toString(status);
}

struct Process::State {
    pid_t pid = -1;
    bool ownGroup = true;
    std::optional<ExitStatus> status;

    // Output capture: a drain thread empties the pipes so that a chatty child never blocks on a
    // full pipe while the test waits for something else.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string text[2];
    int readFd[2] = {-1, -1};
    int wakeFd = -1;
    std::thread drainer;

    void drain();
    void finishDrain();
    std::optional<ExitStatus> waitExit(milliseconds timeout);
    ExitStatus stop(milliseconds grace);
};

void Process::State::drain() {
    // Reads whatever is ready on one pipe; false at end-of-file.
    auto readSome = [this](int index) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(readFd[index], buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(mutex);
                text[index].append(buffer, static_cast<std::size_t>(n));
                changed.notify_all();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return true;
            std::lock_guard lock(mutex);
            closeFd(readFd[index]);
            changed.notify_all();
            return false;
        }
    };
    for (;;) {
        pollfd fds[3];
        int index[3];
        nfds_t count = 0;
        {
            std::lock_guard lock(mutex);
            for (int i = 0; i < 2; ++i) {
                if (readFd[i] < 0) continue;
                fds[count] = {readFd[i], POLLIN, 0};
                index[count++] = i;
            }
        }
        if (count == 0) return;
        fds[count] = {wakeFd, POLLIN, 0};
        if (::poll(fds, count + 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        const bool woken = fds[count].revents != 0;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents != 0 || woken) readSome(index[i]);
        }
        if (woken) return;
    }
}

void Process::State::finishDrain() {
    if (!drainer.joinable()) return;
    {
        // A descendant outside the process group may still hold a pipe open; do not wait for it
        // for ever.
        std::unique_lock lock(mutex);
        changed.wait_for(lock, kDrainWait, [this] { return readFd[0] < 0 && readFd[1] < 0; });
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeFd, &one, sizeof one);
    drainer.join();
    std::lock_guard lock(mutex);
    closeFd(readFd[0]);
    closeFd(readFd[1]);
    closeFd(wakeFd);
}

std::optional<ExitStatus> Process::State::waitExit(milliseconds timeout) {
    // Never signal with a PID of 0 or -1: kill() would take them as "our group" or "everyone".
    if (status || pid <= 0) return status;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // WNOWAIT keeps the zombie, and with it the PID and process group ID, until the group has
        // been killed, so the group kill can never hit an unrelated process that reused the PID.
        siginfo_t info{};
        const int rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc == 0 && info.si_pid == pid) {
            if (ownGroup) ::kill(-pid, SIGKILL);
            int ignored = 0;
            while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
            }
            if (ownGroup) reapGroup(pid);
            status = decode(info);
            return status;
        }
        if (rc < 0 && errno != EINTR) {
            // Someone else reaped our child; there is nothing left to wait for.
            status = ExitStatus::exited(-1);
            return status;
        }
        const auto now = Clock::now();
        if (now >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(5), deadline - now));
    }
}

ExitStatus Process::State::stop(milliseconds grace) {
    if (pid <= 0) return status.value_or(ExitStatus{});
    if (!status) {
        ::kill(pid, SIGTERM);
        if (!waitExit(grace)) {
            ::kill(pid, SIGKILL);
            if (!waitExit(kKillWait)) {
                // Only a child stuck in the kernel gets here; reaping it is still mandatory.
                if (ownGroup) ::kill(-pid, SIGKILL);
                int raw = 0;
                while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
                }
                if (ownGroup) reapGroup(pid);
                status = decodeWaitStatus(raw);
            }
        }
    }
    finishDrain();
    return *status;
}

Process::Process(std::vector<std::string> argv, ProcessOptions options)
    : m_state(std::make_unique<State>()) {
    if (argv.empty() || argv[0].empty()) throw systemError(EINVAL, "empty argv");
    // Checked here so that a missing program fails alike with and without setpriv in front.
    if (!isExecutableInPath(argv[0])) throw systemError(ENOENT, "cannot start " + argv[0]);
    const bool throughSetpriv = options.endWithTest && isExecutableInPath("setpriv");
    if (throughSetpriv) argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "TERM", "--"});
    m_state->ownGroup = options.ownProcessGroup;
    becomeSubreaper();

    const Output* outputs[2] = {&options.stdoutTo, &options.stderrTo};
    const bool capturing =
        outputs[0]->kind == Output::Kind::Capture || outputs[1]->kind == Output::Kind::Capture;
    if (capturing) {
        m_state->wakeFd = ::eventfd(0, EFD_CLOEXEC);
        if (m_state->wakeFd < 0) throw systemError(errno, "eventfd");
    }

    std::vector<int> parentFds;  // closed in this process once the child has its copies
    auto cleanUp = [&] {
        for (int& fd : parentFds) closeFd(fd);
    };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Everything a failed start leaves open in this process.
    auto failure = [&](int error, const std::string& what) {
        cleanUp();
        posix_spawn_file_actions_destroy(&actions);
        closeFd(m_state->readFd[0]);
        closeFd(m_state->readFd[1]);
        closeFd(m_state->wakeFd);
        return systemError(error, what);
    };
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

    for (int i = 0; i < 2; ++i) {
        const int target = i + 1;
        switch (outputs[i]->kind) {
            case Output::Kind::Inherit:
                break;
            case Output::Kind::Discard:
                posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
                break;
            case Output::Kind::File:
                posix_spawn_file_actions_addopen(&actions, target, outputs[i]->path.c_str(),
                                                 O_WRONLY | O_CREAT | O_TRUNC, 0644);
                break;
            case Output::Kind::Capture: {
                int ends[2];
                if (::pipe2(ends, O_CLOEXEC) != 0) throw failure(errno, "pipe2");
                ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
                m_state->readFd[i] = ends[0];
                parentFds.push_back(ends[1]);
                posix_spawn_file_actions_adddup2(&actions, ends[1], target);
                break;
            }
        }
    }
    for (const auto& [here, there] : options.passFds) {
        // A high close-on-exec copy first, so that no dup2 of this list overwrites the source of
        // a later one and a source equal to its target still loses close-on-exec.
        const int copy = ::fcntl(here, F_DUPFD_CLOEXEC, 100);
        if (copy < 0) throw failure(errno, "cannot pass descriptor " + std::to_string(here));
        parentFds.push_back(copy);
        posix_spawn_file_actions_adddup2(&actions, copy, there);
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    // The test process may ignore SIGPIPE or others; the child starts with every default.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal = 1; signal < SIGRTMIN; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    std::vector<std::string> environment = childEnvironment(options);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envPointers = pointers(environment);
    const bool hasSlash = argv[0].find('/') != std::string::npos;
    pid_t pid = -1;
    const int rc = hasSlash ? posix_spawn(&pid, argv[0].c_str(), &actions, &attributes,
                                          argvPointers.data(), envPointers.data())
                            : posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes,
                                           argvPointers.data(), envPointers.data());
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) throw failure(rc, "cannot start " + argv[0]);
    posix_spawn_file_actions_destroy(&actions);
    cleanUp();
    m_state->pid = pid;
    if (throughSetpriv) waitUntilExecuted(pid);

    if (capturing) {
        try {
            m_state->drainer = std::thread([state = m_state.get()] { state->drain(); });
        } catch (...) {
            // The child must not outlive a failed start.
            m_state->stop(std::chrono::seconds(5));
            closeFd(m_state->readFd[0]);
            closeFd(m_state->readFd[1]);
            closeFd(m_state->wakeFd);
            throw;
        }
    }
}

Process::~Process() {
    if (m_state) m_state->stop(std::chrono::seconds(5));
}

Process::Process(Process&& other) noexcept = default;

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (m_state) m_state->stop(std::chrono::seconds(5));
        m_state = std::move(other.m_state);
    }
    return *this;
}

pid_t Process::pid() const {
    return m_state ? m_state->pid : -1;
}

std::optional<ExitStatus> Process::waitExit(milliseconds timeout) {
    if (!m_state) return std::nullopt;
    return m_state->waitExit(timeout);
}

ExitStatus Process::stop(milliseconds grace) {
    if (!m_state) return {};
    return m_state->stop(grace);
}

std::string Process::captured(Stream stream) const {
    if (!m_state) return {};
    std::lock_guard lock(m_state->mutex);
    return m_state->text[stream == Stream::Stdout ? 0 : 1];
}

bool Process::waitForCaptured(Stream stream, std::string_view text, milliseconds timeout) {
    if (!m_state) return false;
    const int index = stream == Stream::Stdout ? 0 : 1;
    std::unique_lock lock(m_state->mutex);
    return m_state->changed.wait_for(
        lock, timeout, [&] { return m_state->text[index].find(text) != std::string::npos; });
}

bool isExecutableInPath(const std::string& program) {
    auto executable = [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               ::access(path.c_str(), X_OK) == 0;
    };
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return executable(program);
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (;;) {
        const auto colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        if (dir.empty()) dir = ".";
        if (executable(dir + "/" + program)) return true;
        if (colon == std::string_view::npos) return false;
        rest.remove_prefix(colon + 1);
    }
}

}  // namespace testsupport
