// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// What faults of the service do to the program: the real MainWindow, offscreen and in-process,
// its web views sent through a loopback stand-in of the service that is down, slow, failing,
// huge, silent or serves a page whose script never ends. For each fault it measures
//   - the longest gap between ticks of a 10 ms timer on the program's event loop while the views
//     load the faulty pages, and again while the next query is issued and loads;
//   - the time from the next press until the stand-in holds each of its two requests;
//   - whether any window besides MainWindow showed.
// The program should never stall for more than 100 ms and the next query should go out at once;
// the figures are reported, not judged.
//
//   bench_faults [runs] [--direct]
//     runs      how often each fault is measured (3)
//     --direct  the keyword 洪荒之力, whose URLs the views load as they are, instead of "abc",
//               whose escapes of letters take the toolkit's staged navigation
#include "app/mainwindow.h"
#include "app/state.h"
#include "query/query.h"
#include "support/stand_in_service.h"
#include "toolkit/handles.h"
#include "toolkit/runtime.h"
#include "toolkit/window.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// How long each phase lets the event loop run. Long enough for every fault to take hold (the
// 10 MiB page to arrive, the script to start looping) and for the next pages to load.
constexpr auto kFaultPhase = 3000ms;
constexpr auto kNextPhase = 3000ms;
constexpr auto kSettle = 1000ms;
// A bound on waiting for the next query's requests, far above "at once".
constexpr auto kRequestBound = 20s;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The browser's proxy port, in front of the stand-in. Closing it leaves nothing listening on the
// port, which is what a service that is down looks like to the browser; opening it again on
// the same port brings the service back without telling the browser anything.
class Gate final {
public:
    explicit Gate(std::uint16_t target) : m_target(target) { open(); }
    ~Gate() { close(); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    std::uint16_t port() const { return m_port; }

    bool open() {
        if (m_listen >= 0) return true;
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, 64) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0) {
            ::close(m_listen);
            m_listen = -1;
            return false;
        }
        socklen_t length = sizeof address;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { acceptLoop(); });
        return true;
    }

    // Stops listening and cuts every connection relayed so far.
    void close() {
        if (m_listen < 0) return;
        const char byte = 'x';
        [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &byte, 1);
        m_acceptor.join();
        {
            std::lock_guard lock(m_mutex);
            for (const int fd : m_open) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& relay : m_relays) relay.join();
        m_relays.clear();
        ::close(m_listen);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
        m_listen = -1;
    }

private:
    void acceptLoop() {
        for (;;) {
            pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            // Only this thread adds relays; close() joins it before it touches the list.
            m_relays.emplace_back([this, client] { relay(client); });
        }
    }

    void track(int fd, bool add) {
        std::lock_guard lock(m_mutex);
        if (add) {
            m_open.insert(fd);
        } else {
            m_open.erase(fd);
        }
    }

    void relay(int client) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_target);
        if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(server);
            ::close(client);
            return;
        }
        track(client, true);
        track(server, true);
        char buffer[64 * 1024];
        for (bool done = false; !done;) {
            pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[2].revents != 0) break;
            for (int side = 0; side < 2 && !done; ++side) {
                if (fds[side].revents == 0) continue;
                const ssize_t got = ::recv(fds[side].fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    done = true;
                    break;
                }
                const int to = side == 0 ? server : client;
                for (ssize_t sent = 0; sent < got && !done;) {
                    const ssize_t n = ::send(to, buffer + sent, got - sent, MSG_NOSIGNAL);
                    if (n <= 0) done = true;
                    sent += std::max<ssize_t>(n, 0);
                }
            }
        }
        track(client, false);
        track(server, false);
        ::close(server);
        ::close(client);
    }

    std::uint16_t m_target = 0;
    std::uint16_t m_port = 0;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_acceptor;
    std::list<std::thread> m_relays;
    std::mutex m_mutex;
    std::set<int> m_open;
};

QWidget* mainWindow = nullptr;

QWidget* Control(const char* name) {
    return WidgetOf(FindWindowNamed(name));
}

// Ticks every 10 ms on the event loop and keeps the longest gap since the last start(), with
// when it ended, and counts the ticks at which a window besides MainWindow showed.
class StallMeter final {
public:
    StallMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { tick(); });
        m_timer.start();
    }

    void start() {
        m_start = m_last = Clock::now();
        m_longest = {};
        m_longestEnd = m_start;
        m_dialogs = 0;
    }
    double longestMs() {
        tick();  // a stall that is still going on counts up to now
        return Milliseconds(m_longest);
    }
    // When the longest gap ended, from start().
    double longestEndMs() const { return Milliseconds(m_longestEnd - m_start); }
    int dialogs() const { return m_dialogs; }

private:
    void tick() {
        const auto now = Clock::now();
        if (now - m_last > m_longest) {
            m_longest = now - m_last;
            m_longestEnd = now;
        }
        m_last = now;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top != mainWindow && top->isVisible()) ++m_dialogs;
        }
    }

    QTimer m_timer;
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_last = m_start;
    Clock::time_point m_longestEnd = m_start;
    Clock::duration m_longest{};
    int m_dialogs = 0;
};

// Runs the program's event loop for a while.
void RunEventLoop(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() or the bound, checking every few milliseconds.
void RunEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (!done() && Clock::now() < deadline) RunEventLoop(5ms);
}

// Waits on a thread of its own for the stand-in to hold a request, and notes when it came.
class Arrival final {
public:
    Arrival(const StandInService& service, std::string target)
        : m_thread([this, &service, target = std::move(target)] {
              const auto request = service.waitForRequest(
                  [&](const RecordedRequest& r) { return r.target == target; }, kRequestBound);
              if (request) m_at = Clock::now();
              m_done = true;
          }) {}
    ~Arrival() { m_thread.join(); }
    Arrival(const Arrival&) = delete;
    Arrival& operator=(const Arrival&) = delete;

    bool done() const { return m_done; }
    std::optional<Clock::time_point> at() const { return m_done ? m_at : std::nullopt; }

private:
    std::optional<Clock::time_point> m_at;
    std::atomic<bool> m_done = false;
    std::thread m_thread;
};

struct Fault {
    const char* name;
    std::function<void()> begin;  // makes the service faulty
    std::function<void()> end;    // makes it well again
    bool press = true;            // false: the faulty phase runs without a query
};

struct Figures {
    std::vector<double> faultStallMs;
    std::vector<double> nextStallMs;
    std::vector<double> pressMs;  // how long the next press's click handler ran
    std::vector<double> listMs;   // next press to the list request at the stand-in
    std::vector<double> statisticsMs;
    int missing = 0;  // next requests that never came within the bound
    int dialogs = 0;
};

std::string Summary(std::vector<double> values) {
    if (values.empty()) return "-";
    std::sort(values.begin(), values.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.0f / %.0f", values[values.size() / 2], values.back());
    return text;
}

double Max(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const bool direct = argc > 2 && std::string(argv[2]) == "--direct";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    StandInService service;
    Gate gate(service.port());
    // The browser reads its flags once, when the toolkit brings it up.
    const std::string flags = "--proxy-server=http://127.0.0.1:" + std::to_string(gate.port()) +
                              " --proxy-bypass-list=<-loopback>";
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.c_str(), 1);
    InitialiseToolkit();
    CreateProgramState();
    mainWindow = WidgetOf(CreateWindowFromDescription(mainWindowDescription));
    if (!mainWindow) {
        std::fprintf(stderr, "MainWindow could not be created\n");
        return 1;
    }
    auto* keywordBox = qobject_cast<QLineEdit*>(Control("编辑框查询"));
    auto* similar = qobject_cast<QPushButton*>(Control("近似查询"));
    auto* agency = qobject_cast<QPushButton*>(Control("代理机构查询"));
    // An ASCII keyword's escapes do not survive QUrl, so each press takes the toolkit's staged
    // navigation, which needs a renderer to run its script; the other keyword's URLs load as
    // they are.
    const char* keyword = direct ? "洪荒之力" : "abc";
    keywordBox->setText(QString::fromUtf8(keyword));
    const std::string encoded = direct ? "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B" : "%61%62%63";
    std::string nextStatistics = BuildRequestUrl(QueryKind::Agency, QueryPage::Statistics, encoded);
    nextStatistics.pop_back();  // the fragment never goes on the wire
    const std::string nextList = BuildRequestUrl(QueryKind::Agency, QueryPage::List, encoded);

    StallMeter meter;
    auto reply = [&](Reply r) { return [&service, r] { service.setDefaultReply(r); }; };
    auto wellAgain = [&service] { service.setDefaultReply(Reply::page()); };
    const std::vector<Fault> faults = {
        {"idle (no query)", wellAgain, wellAgain, false},
        {"none (a small page)", reply(Reply::page()), wellAgain},
        {"down (nothing listens)", [&gate] { gate.close(); }, [&gate] { gate.open(); }},
        {"10 s slow", reply(Reply::slow(10s)), wellAgain},
        {"500", reply(Reply::serverError()), wellAgain},
        {"10 MiB page", reply(Reply::big()), wellAgain},
        {"never answers", reply(Reply::hang()), wellAgain},
        {"script loops for ever", reply(Reply::endlessScript()), wellAgain},
    };

    // The first query starts the browser's renderer and network service; not measured.
    similar->click();
    RunEventLoop(kFaultPhase);

    std::vector<Figures> figures(faults.size());
    for (int run = 0; run < runs; ++run) {
        for (std::size_t f = 0; f < faults.size(); ++f) {
            const Fault& fault = faults[f];
            Figures& figure = figures[f];
            fault.begin();
            service.clear();
            meter.start();
            const auto faultPressed = Clock::now();
            if (fault.press) similar->click();
            const double faultPressMs = Milliseconds(Clock::now() - faultPressed);
            RunEventLoop(kFaultPhase);
            figure.faultStallMs.push_back(meter.longestMs());
            figure.dialogs += meter.dialogs();
            const double faultStallEnd = meter.longestEndMs();

            fault.end();
            service.clear();
            meter.start();
            const Arrival list(service, nextList);
            const Arrival statistics(service, nextStatistics);
            const auto pressed = Clock::now();
            agency->click();
            figure.pressMs.push_back(Milliseconds(Clock::now() - pressed));
            RunEventLoopUntil([&] { return list.done() && statistics.done(); }, kRequestBound);
            // The next pages get the rest of the phase to load, counted from the press.
            RunEventLoop(std::chrono::duration_cast<std::chrono::milliseconds>(
                std::max<Clock::duration>(pressed + kNextPhase - Clock::now(), 0ms)));
            figure.nextStallMs.push_back(meter.longestMs());
            figure.dialogs += meter.dialogs();
            double arrivedMs[2] = {-1, -1};
            const std::pair<const Arrival*, std::vector<double>*> arrivals[] = {
                {&list, &figure.listMs}, {&statistics, &figure.statisticsMs}};
            for (int k = 0; k < 2; ++k) {
                if (const auto at = arrivals[k].first->at()) {
                    arrivedMs[k] = Milliseconds(*at - pressed);
                    arrivals[k].second->push_back(arrivedMs[k]);
                } else {
                    ++figure.missing;
                }
            }
            std::fprintf(stderr,
                         "%-24s faulty: press %3.0f ms, stall %4.0f ms ending %4.0f ms after it; "
                         "next: press %3.0f ms, stall %4.0f ms ending %4.0f ms after it, "
                         "requests after %4.0f / %4.0f ms\n",
                         fault.name, faultPressMs, figure.faultStallMs.back(), faultStallEnd,
                         figure.pressMs.back(), figure.nextStallMs.back(), meter.longestEndMs(),
                         arrivedMs[0], arrivedMs[1]);
            RunEventLoop(kSettle);
        }
        std::fprintf(stderr, "run %d of %d done\n", run + 1, runs);
    }

    std::printf(
        "%d runs of each fault; the keyword \"%s\"; times in ms, median / max; dialogs: timer "
        "ticks that saw a window besides MainWindow\n",
        runs, keyword);
    std::printf("%-24s %16s %16s %14s %16s %16s %8s %8s\n", "fault", "stall (faulty)",
                "stall (next)", "next press", "next list req", "next stats req", "missing",
                "dialogs");
    for (std::size_t f = 0; f < faults.size(); ++f) {
        const Figures& figure = figures[f];
        const double worst = std::max(Max(figure.faultStallMs), Max(figure.nextStallMs));
        std::printf("%-24s %16s %16s %14s %16s %16s %8d %8d%s\n", faults[f].name,
                    Summary(figure.faultStallMs).c_str(), Summary(figure.nextStallMs).c_str(),
                    Summary(figure.pressMs).c_str(), Summary(figure.listMs).c_str(),
                    Summary(figure.statisticsMs).c_str(), figure.missing, figure.dialogs,
                    worst > 100 ? "  stalled over 100 ms" : "");
    }

    delete mainWindow;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ReleaseProgramState();
    gate.close();
    service.stop();
    ShutdownToolkit();
    return 0;
}
