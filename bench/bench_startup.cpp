// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Start-up, measured from outside: launch to window shown and to start page loaded, and the
// peak memory of the whole process tree, for talvimer and for a bare Qt WebEngine window that
// loads the same page, alternating in one run under a private Xvfb.
//
//   bench_startup [runs]      (default 10)
#include "common/outside_in.h"
#include "support/process.h"
#include "support/stand_in_service.h"
#include "support/virtual_display.h"
#include "support/x11.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char startPage[] = "http://start.talvimer.test/welcome.html";

// The page tells the stand-in once it has loaded.
constexpr char page[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>start</title></head>"
    "<body onload=\"fetch('/loaded?' + Math.random())\"><h1>Talvimer</h1>"
    "<p>start page</p></body></html>";

struct Sample {
    double shownMs = 0;
    double loadedMs = 0;
    double peakMiB = 0;
};

// Sum of the peak resident sizes of pid and all its descendants.
double TreePeakMiB(pid_t root) {
    std::map<pid_t, pid_t> parentOf;
    std::map<pid_t, long> peakKiB;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            const pid_t pid = std::atoi(entry->d_name);
            if (pid <= 0) continue;
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.rfind("PPid:", 0) == 0) parentOf[pid] = std::atoi(line.c_str() + 5);
                if (line.rfind("VmHWM:", 0) == 0) peakKiB[pid] = std::atol(line.c_str() + 6);
            }
        }
        ::closedir(proc);
    }
    double total = 0;
    for (const auto& [pid, kib] : peakKiB) {
        for (pid_t p = pid; p > 1; p = parentOf.count(p) ? parentOf[p] : 0) {
            if (p == root) {
                total += kib;
                break;
            }
        }
    }
    return total / 1024.0;
}

std::optional<Sample> Measure(const std::vector<std::string>& argv, const std::string& caption,
                              VirtualDisplay& display, StandInService& service, XSession& x) {
    service.clear();
    ProcessOptions options = outside_in::ProgramOptions(display, service);
    options.stdoutTo = Output::discard();
    options.stderrTo = Output::discard();
    const auto launched = Clock::now();
    Process program(argv, options);
    const auto window = x.findWindow(caption, 30s);
    const auto shown = Clock::now();
    const auto loadedRequest = service.waitForRequest("/loaded", 30s);
    const auto loaded = Clock::now();
    if (!window || !loadedRequest) return std::nullopt;
    std::this_thread::sleep_for(300ms);  // let the renderer settle before reading peaks
    Sample sample;
    sample.shownMs = std::chrono::duration<double, std::milli>(shown - launched).count();
    sample.loadedMs = std::chrono::duration<double, std::milli>(loaded - launched).count();
    sample.peakMiB = TreePeakMiB(program.pid());
    x.requestClose(*window);
    if (!program.waitExit(10s)) program.stop();
    return sample;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    VirtualDisplay display;
    if (!display.running()) {
        std::fprintf(stderr, "no virtual display: %s\n", display.error().c_str());
        return 1;
    }
    StandInService service;
    service.setReply("welcome.html", Reply::html(page));
    service.setReply("/loaded", Reply::html("ok"));
    XSession x(display.name());

    struct Subject {
        const char* name;
        std::vector<std::string> argv;
        std::string caption;
        std::vector<Sample> samples;
    };
    std::vector<Subject> subjects = {
        {"talvimer", {TALVIMER_START_PAGE_PROBE}, outside_in::caption, {}},
        {"minimal Qt WebEngine window",
         {BENCH_MINIMAL_WINDOW, startPage, "minimal"},
         "minimal",
         {}},
    };
    // One warm-up each so that both find the same disk caches.
    for (auto& subject : subjects) Measure(subject.argv, subject.caption, display, service, x);
    for (int run = 0; run < runs; ++run) {
        for (auto& subject : subjects) {
            if (auto sample = Measure(subject.argv, subject.caption, display, service, x)) {
                subject.samples.push_back(*sample);
            } else {
                std::fprintf(stderr, "%s: run %d did not finish\n", subject.name, run);
            }
        }
    }
    std::printf("%-30s %6s %14s %15s %14s\n", "program", "runs", "shown (ms)", "loaded (ms)",
                "peak (MiB)");
    std::vector<double> medians;
    for (const auto& subject : subjects) {
        std::vector<double> shown, loaded, peak;
        for (const auto& s : subject.samples) {
            shown.push_back(s.shownMs);
            loaded.push_back(s.loadedMs);
            peak.push_back(s.peakMiB);
        }
        if (shown.empty()) return 1;
        std::printf("%-30s %6zu %14.0f %15.0f %14.1f\n", subject.name, shown.size(), Median(shown),
                    Median(loaded), Median(peak));
        medians.insert(medians.end(), {Median(shown), Median(loaded), Median(peak)});
    }
    std::printf("talvimer / minimal: shown %.2f, loaded %.2f, peak memory %.2f (medians)\n",
                medians[0] / medians[3], medians[1] / medians[4], medians[2] / medians[5]);
    return 0;
}
