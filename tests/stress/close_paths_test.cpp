// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The real binary closed over and over under one private Xvfb, by each way a user has: Esc in
// the keyword box and a close request from outside (the close box's WM_DELETE_WINDOW), idle
// and while both views wait on pages that never finish. Every run must end with status 0
// within 5 s of the close and leave no process behind.
//
// TALVIMER_STRESS_RUNS=<n> changes the number of runs of each way (20).
#include "common/outside_in.h"
#include "query/query.h"
#include "support/process.h"
#include "support/stand_in_service.h"
#include "support/virtual_display.h"
#include "support/x11.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

using namespace outside_in;

// How long the program may take to end after the close, and its helpers after it. Hang
// detectors only: the measured times are printed, not judged.
constexpr auto kExitBound = 5s;
constexpr auto kHelpersBound = 5s;

int RunsOfEachWay() {
    const char* text = std::getenv("TALVIMER_STRESS_RUNS");
    const int runs = text ? std::atoi(text) : 0;
    return runs > 0 ? runs : 20;
}

// One entry of /proc.
struct ProcessEntry {
    pid_t pid = 0;
    std::string name;
    char state = '?';
    pid_t parent = 0;
    pid_t group = 0;
    unsigned long long startTime = 0;  // in clock ticks since boot; tells a reused PID apart

    bool alive() const { return state != 'Z' && state != 'X'; }
};

std::optional<ProcessEntry> ReadEntry(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) return std::nullopt;
    // The name is in parentheses and may hold spaces and parentheses itself.
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    ProcessEntry entry;
    entry.pid = pid;
    entry.name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    rest >> entry.state >> entry.parent >> entry.group;
    std::string field;
    // Fields 6 to 21, then the start time, field 22.
    for (int i = 6; i <= 21 && rest >> field; ++i) {
    }
    rest >> entry.startTime;
    if (!rest) return std::nullopt;
    return entry;
}

std::vector<ProcessEntry> AllProcesses() {
    std::vector<ProcessEntry> all;
    DIR* proc = ::opendir("/proc");
    if (!proc) return all;
    while (dirent* item = ::readdir(proc)) {
        const pid_t pid = std::atoi(item->d_name);
        if (pid <= 0) continue;
        if (auto entry = ReadEntry(pid)) all.push_back(*entry);
    }
    ::closedir(proc);
    return all;
}

bool DescendsFrom(const ProcessEntry& entry, pid_t ancestor,
                  const std::map<pid_t, pid_t>& parentOf) {
    pid_t p = entry.parent;
    // Bounded by the number of processes: a chain cannot be longer.
    for (std::size_t hops = 0; p > 1 && hops <= parentOf.size(); ++hops) {
        if (p == ancestor) return true;
        const auto found = parentOf.find(p);
        p = found == parentOf.end() ? 0 : found->second;
    }
    return false;
}

std::vector<ProcessEntry> DescendantsOf(pid_t ancestor) {
    const std::vector<ProcessEntry> all = AllProcesses();
    std::map<pid_t, pid_t> parentOf;
    for (const auto& entry : all) parentOf[entry.pid] = entry.parent;
    std::vector<ProcessEntry> found;
    for (const auto& entry : all) {
        if (DescendsFrom(entry, ancestor, parentOf)) found.push_back(entry);
    }
    return found;
}

// Live processes that the program started and that outlived it: anything in its process
// group, anything seen below it before the close, and anything now below this test (orphans
// come here, the test being their subreaper) other than the virtual display.
std::vector<ProcessEntry> LeftBehind(pid_t program, const std::vector<ProcessEntry>& before,
                                     pid_t display) {
    std::set<std::pair<pid_t, unsigned long long>> known;
    for (const auto& entry : before) known.insert({entry.pid, entry.startTime});
    const std::vector<ProcessEntry> all = AllProcesses();
    std::map<pid_t, pid_t> parentOf;
    for (const auto& entry : all) parentOf[entry.pid] = entry.parent;
    std::vector<ProcessEntry> left;
    for (const auto& entry : all) {
        if (!entry.alive() || entry.pid == program || entry.pid == display) continue;
        const bool inGroup = entry.group == program;
        const bool seenBefore = known.count({entry.pid, entry.startTime}) > 0;
        const bool ours =
            DescendsFrom(entry, ::getpid(), parentOf) && !DescendsFrom(entry, display, parentOf);
        if (inGroup || seenBefore || ours) left.push_back(entry);
    }
    return left;
}

std::string Describe(const std::vector<ProcessEntry>& entries) {
    std::string text;
    for (const auto& e : entries) {
        text += "\n  " + std::to_string(e.pid) + " " + e.name + " state " + e.state + " parent " +
                std::to_string(e.parent) + " group " + std::to_string(e.group);
    }
    return text;
}

// The child's exit, seen without reaping it, so that its PID and process group stay reserved
// while what it left behind is looked for.
std::optional<siginfo_t> WaitForExitUnreaped(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return info;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(1ms);
    }
}

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Figures {
    std::vector<double> closeMs;    // from the close that worked to the program's exit
    std::vector<double> helpersMs;  // from the program's exit until its last helper had gone
    int repeatedCloses = 0;         // closes sent again because the first was not taken
    std::size_t mostHelpers = 0;    // the most processes seen below the program before a close
};

void Print(const char* way, Figures figures) {
    auto summary = [](std::vector<double> values) {
        if (values.empty()) return std::string("-");
        std::sort(values.begin(), values.end());
        char text[96];
        std::snprintf(text, sizeof text, "min %.0f / median %.0f / max %.0f ms", values.front(),
                      values[values.size() / 2], values.back());
        return std::string(text);
    };
    std::printf(
        "%s: %zu runs; close to exit %s; exit to last helper gone %s; closes sent "
        "again %d; at most %zu helper processes\n",
        way, figures.closeMs.size(), summary(figures.closeMs).c_str(),
        summary(figures.helpersMs).c_str(), figures.repeatedCloses, figures.mostHelpers);
    std::fflush(stdout);
}

enum class CloseWay { Escape, CloseRequest };

class ClosePathsTest : public ::testing::Test {
protected:
    // One display and one stand-in serve every run of every way.
    static void SetUpTestSuite() {
        display = std::make_unique<VirtualDisplay>();
        service = std::make_unique<StandInService>();
        if (display->running()) x = std::make_unique<XSession>(display->name());
    }
    static void TearDownTestSuite() {
        x.reset();
        service.reset();
        display.reset();
    }

    void SetUp() override {
        if (display->missing()) GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_TRUE(display->running()) << display->error();
        ASSERT_TRUE(x && x->connected());
        service->clearReplies();
        service->clear();
    }

    void start() {
        const ProcessOptions options = ProgramOptions(*display, *service);
        program.emplace(std::vector<std::string>{TALVIMER_BINARY}, options);
        window = x->findWindow(caption, 30s);
        ASSERT_TRUE(window) << "no window; stderr: " << program->captured(Stream::Stderr);
    }

    // Presses a query button and waits until the stand-in holds both of its requests, which it
    // never answers. A window that has only just appeared may miss the first click.
    void startEndlessLoads() {
        const std::string list = BuildRequestUrl(QueryKind::Identical, QueryPage::List,
                                                 "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B");
        std::string statistics = BuildRequestUrl(QueryKind::Identical, QueryPage::Statistics,
                                                 "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B");
        statistics.pop_back();  // the fragment never goes on the wire
        for (int attempt = 0; attempt < 5; ++attempt) {
            ASSERT_TRUE(x->click(*window, identicalButton.x, identicalButton.y));
            if (service->waitForRequest(list, 3s)) break;
        }
        EXPECT_TRUE(service->waitForRequest(
            [&](const RecordedRequest& r) { return r.target == list; }, 10s))
            << "the list page was never asked for";
        EXPECT_TRUE(service->waitForRequest(
            [&](const RecordedRequest& r) { return r.target == statistics; }, 10s))
            << "the statistics page was never asked for";
    }

    // Sends the close, again if the window has not gone a second later (a just-shown window
    // may miss the first input); returns when the one that worked was sent.
    Clock::time_point sendClose(CloseWay way, Figures& figures) {
        Clock::time_point sent{};
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (attempt > 0) ++figures.repeatedCloses;
            if (way == CloseWay::Escape) {
                EXPECT_TRUE(x->click(*window, keywordBox.x, keywordBox.y));
                sent = Clock::now();
                EXPECT_TRUE(x->pressKey("Escape"));
            } else {
                sent = Clock::now();
                EXPECT_TRUE(x->requestClose(*window));
            }
            if (x->waitUntilGone(*window, 1s)) break;
        }
        return sent;
    }

    // One run: start, optionally leave both views loading for ever, close, and check the end.
    void run(CloseWay way, bool whileLoading, Figures& figures) {
        service->clear();
        service->setDefaultReply(whileLoading ? Reply::hang() : Reply::page());
        ASSERT_NO_FATAL_FAILURE(start());
        if (whileLoading) {
            ASSERT_NO_FATAL_FAILURE(startEndlessLoads());
        }
        const pid_t pid = program->pid();
        const std::vector<ProcessEntry> before = DescendantsOf(pid);
        figures.mostHelpers = std::max(figures.mostHelpers, before.size());

        const Clock::time_point sent = sendClose(way, figures);
        const auto exit = WaitForExitUnreaped(pid, sent + kExitBound);
        const Clock::time_point exited = Clock::now();
        ASSERT_TRUE(exit) << "still running " << kExitBound.count() << " s after the close";
        figures.closeMs.push_back(Milliseconds(exited - sent));
        EXPECT_EQ(exit->si_code, CLD_EXITED);
        EXPECT_EQ(exit->si_status, 0);

        // Helpers may take a moment to notice that the browser has gone.
        std::vector<ProcessEntry> left;
        const Clock::time_point helpersDeadline = exited + kHelpersBound;
        for (;;) {
            left = LeftBehind(pid, before, display->pid());
            if (left.empty() || Clock::now() >= helpersDeadline) break;
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(left.empty()) << "left behind " << kHelpersBound.count()
                                  << " s after the exit:" << Describe(left);
        if (left.empty()) figures.helpersMs.push_back(Milliseconds(Clock::now() - exited));

        // Reaping now finds nothing left to kill in the group.
        const auto status = program->waitExit(1s);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, ExitStatus::exited(0));
        EXPECT_TRUE(x->waitUntilGone(*window, 1s));
        EXPECT_EQ(program->captured(Stream::Stdout), "");
        EXPECT_EQ(program->captured(Stream::Stderr), "");
        program.reset();
    }

    void runAll(const char* name, CloseWay way, bool whileLoading) {
        Figures figures;
        const int runs = RunsOfEachWay();
        for (int i = 0; i < runs && !HasFailure(); ++i) {
            SCOPED_TRACE(::testing::Message() << name << ", run " << i + 1 << " of " << runs);
            run(way, whileLoading, figures);
        }
        Print(name, figures);
    }

    static std::unique_ptr<VirtualDisplay> display;
    static std::unique_ptr<StandInService> service;
    static std::unique_ptr<XSession> x;
    std::optional<Process> program;
    std::optional<XWindow> window;
};

std::unique_ptr<VirtualDisplay> ClosePathsTest::display;
std::unique_ptr<StandInService> ClosePathsTest::service;
std::unique_ptr<XSession> ClosePathsTest::x;

TEST_F(ClosePathsTest, EscapeInTheKeywordBoxEndsWithStatusZeroAndNoProcessLeft) {
    runAll("Esc", CloseWay::Escape, false);
}

TEST_F(ClosePathsTest, CloseRequestFromOutsideEndsWithStatusZeroAndNoProcessLeft) {
    runAll("WM_DELETE_WINDOW", CloseWay::CloseRequest, false);
}

TEST_F(ClosePathsTest, EscapeWhileBothViewsLoadForEverEndsWithStatusZeroAndNoProcessLeft) {
    runAll("Esc while loading", CloseWay::Escape, true);
}

TEST_F(ClosePathsTest, CloseRequestWhileBothViewsLoadForEverEndsWithStatusZeroAndNoProcessLeft) {
    runAll("WM_DELETE_WINDOW while loading", CloseWay::CloseRequest, true);
}

}  // namespace
