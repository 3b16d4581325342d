// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Checks of the black-box test support itself: the stand-in keeps what arrives byte for byte and
// answers in each of its modes, Process leaves nothing running, and the X helpers work against a
// private Xvfb with a tiny X client of the test's own.

#include "support/process.h"
#include "support/stand_in_service.h"
#include "support/virtual_display.h"
#include "support/x11.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous bounds for waits that normally end at once; a loaded machine must not fail a test.
constexpr std::chrono::milliseconds kLong = 30s;

// Byte equality with a short report: printing two multi-megabyte strings helps nobody.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure()
           << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
           << at << ": got \"" << actual.substr(at, 40) << "\", want \"" << expected.substr(at, 40)
           << "\"";
}

// ---------------------------------------------------------------------------------------------
// A raw HTTP client, so the requests reach the stand-in exactly as written here.

struct RawResponse {
    int status = 0;
    std::string head;
    std::string body;
};

class RawConnection {
public:
    explicit RawConnection(std::uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        m_connected = m_fd >= 0 &&
                      ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() {
        if (m_fd >= 0) ::close(m_fd);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return m_connected; }

    bool send(std::string_view data) {
        while (!data.empty()) {
            const ssize_t n = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // One response (head and Content-Length body); nullopt if the connection closes first or
    // `timeout` passes.
    std::optional<RawResponse> readResponse(std::chrono::milliseconds timeout = kLong) {
        const auto deadline = Clock::now() + timeout;
        std::size_t headEnd;
        while ((headEnd = m_pending.find("\r\n\r\n")) == std::string::npos) {
            if (!receive(deadline)) return std::nullopt;
        }
        RawResponse response;
        response.head = m_pending.substr(0, headEnd);
        m_pending.erase(0, headEnd + 4);
        if (std::sscanf(response.head.c_str(), "HTTP/1.1 %d", &response.status) != 1)
            return std::nullopt;
        std::size_t length = 0;
        const auto field = response.head.find("Content-Length: ");
        if (field != std::string::npos) length = std::stoul(response.head.substr(field + 16));
        while (m_pending.size() < length) {
            if (!receive(deadline)) return std::nullopt;
        }
        response.body = m_pending.substr(0, length);
        m_pending.erase(0, length);
        return response;
    }

    // True if the peer closes the connection, having sent nothing more, within `timeout`.
    bool closesWithoutMoreBytes(std::chrono::milliseconds timeout = kLong) {
        const auto deadline = Clock::now() + timeout;
        while (receive(deadline)) {
        }
        return m_closed && m_pending.empty();
    }

private:
    // Reads once; false at end-of-file, error or deadline.
    bool receive(Clock::time_point deadline) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd pfd{m_fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            char buffer[65536];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                m_closed = true;
                return false;
            }
            m_pending.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
    }

    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    std::string m_pending;
};

std::string getRequest(const std::string& target, const std::string& extraHeaders = {}) {
    return "GET " + target + " HTTP/1.1\r\nHost: tmsearch.example.com\r\n" + extraHeaders +
           "Proxy-Connection: keep-alive\r\n\r\n";
}

const std::string kListUrl =
    "http://tmsearch.example.com/quorlis/tmweb/webkh/denavix/modelnew03/sbcxListLB.jsp"
    "?m=http://demo.tmsearch.example.com/ruanjianyanshi/chaxunweb/"
    "&z=e3a90b52d41c8f06b7e25d9a0c364f81&t=3&c=0&k=";

std::string repeated(std::string_view piece, std::size_t times) {
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

class StandInServiceTest : public ::testing::Test {
protected:
    std::unique_ptr<StandInService> service = std::make_unique<StandInService>();

    std::optional<RawResponse> exchange(const std::string& request) {
        RawConnection connection(service->port());
        if (!connection.connected() || !connection.send(request)) return std::nullopt;
        return connection.readResponse();
    }
};

TEST_F(StandInServiceTest, recordsProxyFormTargetsByteForByte) {
    const struct {
        const char* name;
        std::string target;
    } rows[] = {
        {"escaped ASCII letters stay escaped", kListUrl + "%61%62%63&l=2&b="},
        {"Chinese keyword, upper-case escapes", kListUrl + "%E6%B4%AA%E8%8D%92%E4%B9%8B&l=2&b="},
        {"lower-case escapes, plus, raw high bytes, doubled separators",
         "http://tmsearch.example.com/a//b/?x=%2f%2F+%20&&y=%zz\xE6\xB4\xAA;z=|~#frag"},
        {"100,000 four-byte characters, over a megabyte",
         kListUrl + repeated("%F0%9F%98%80", 100'000) + "&l=2&b="},
        {"request line over 4 MiB", kListUrl + repeated("%41", 1'800'000) + "&l=2&b="},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        service->clear();
        const auto response = exchange(getRequest(row.target));
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
        const auto recorded = service->requests();
        ASSERT_EQ(recorded.size(), 1u);
        EXPECT_EQ(recorded[0].method, "GET");
        EXPECT_TRUE(sameBytes(recorded[0].target, row.target));
        EXPECT_EQ(recorded[0].version, "HTTP/1.1");
        EXPECT_EQ(recorded[0].header("host"), "tmsearch.example.com");
    }
}

TEST_F(StandInServiceTest, recordsHeadersInOrderAndTheBody) {
    const auto response = exchange(
        "POST http://tmsearch.example.com/form HTTP/1.1\r\n"
        "Host: tmsearch.example.com\r\n"
        "X-Mixed-Case:   padded value\t\r\n"
        "Content-Length: 7\r\n"
        "\r\n"
        "k=%61bc");
    ASSERT_TRUE(response);
    const auto recorded = service->requests();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].body, "k=%61bc");
    ASSERT_EQ(recorded[0].headers.size(), 3u);
    EXPECT_EQ(recorded[0].headers[1].first, "X-Mixed-Case");
    EXPECT_EQ(recorded[0].headers[1].second, "padded value");
    EXPECT_EQ(recorded[0].header("x-mixed-case"), "padded value");
    EXPECT_EQ(recorded[0].header("Missing"), std::nullopt);
}

TEST_F(StandInServiceTest, answersEachReplyMode) {
    service->setReply("/error", Reply::page());
    service->setReply("/error", Reply::serverError());  // replaces the rule above
    service->setReply("/big", Reply::big());
    service->setReply("/loop", Reply::endlessScript());
    service->setReply("/slow", Reply::slow(200ms));
    service->setReply("/custom", Reply::html("<p>custom</p>", 203));
    const struct {
        const char* name;
        std::string target;
        int status;
        std::function<bool(const std::string&)> bodyOk;
    } rows[] = {
        {"default small page", "http://tmsearch.example.com/page", 200,
         [](const std::string& body) { return body.find("<html>") != std::string::npos; }},
        {"server error", "http://tmsearch.example.com/error", 500,
         [](const std::string& body) { return !body.empty(); }},
        {"10 MiB body", "http://tmsearch.example.com/big", 200,
         [](const std::string& body) {
             return body.size() == 10u * 1024 * 1024 && body.ends_with("</html>");
         }},
        {"endless script", "http://tmsearch.example.com/loop", 200,
         [](const std::string& body) {
             return body.find("<script>for(;;){}</script>") != std::string::npos;
         }},
        {"slow reply still comes", "http://tmsearch.example.com/slow", 200,
         [](const std::string& body) { return body.find("<html>") != std::string::npos; }},
        {"custom body and status", "http://tmsearch.example.com/custom", 203,
         [](const std::string& body) { return body == "<p>custom</p>"; }},
        {"favicon without a rule", "http://tmsearch.example.com/favicon.ico", 404,
         [](const std::string&) { return true; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto response = exchange(getRequest(row.target));
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, row.status);
        EXPECT_TRUE(row.bodyOk(response->body)) << response->body.substr(0, 200);
        EXPECT_NE(response->head.find("Cache-Control: no-store"), std::string::npos);
    }

    service->setDefaultReply(Reply::serverError());
    const auto unmatched = exchange(getRequest("http://tmsearch.example.com/other"));
    ASSERT_TRUE(unmatched);
    EXPECT_EQ(unmatched->status, 500);
}

TEST_F(StandInServiceTest, refusesConnectWith403AndCloses) {
    RawConnection connection(service->port());
    ASSERT_TRUE(connection.send(
        "CONNECT tmsearch.example.com:443 HTTP/1.1\r\nHost: tmsearch.example.com:443\r\n\r\n"));
    const auto response = connection.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 403);
    EXPECT_TRUE(connection.closesWithoutMoreBytes());
    const auto recorded = service->waitForRequest(
        [](const RecordedRequest& r) { return r.method == "CONNECT"; }, kLong);
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->target, "tmsearch.example.com:443");
}

TEST_F(StandInServiceTest, keepsConnectionsAliveUnlessAskedToClose) {
    RawConnection connection(service->port());
    // Two requests in one write: the second must not be lost behind the first.
    ASSERT_TRUE(connection.send(getRequest("http://tmsearch.example.com/one") +
                                getRequest("http://tmsearch.example.com/two")));
    for (const char* name : {"first", "second"}) {
        SCOPED_TRACE(name);
        const auto response = connection.readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
        EXPECT_NE(response->head.find("Connection: keep-alive"), std::string::npos);
    }
    ASSERT_TRUE(
        connection.send(getRequest("http://tmsearch.example.com/three", "Connection: close\r\n")));
    const auto last = connection.readResponse();
    ASSERT_TRUE(last);
    EXPECT_NE(last->head.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(connection.closesWithoutMoreBytes());

    const auto recorded = service->requests();
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(recorded[0].target, "http://tmsearch.example.com/one");
    EXPECT_EQ(recorded[1].target, "http://tmsearch.example.com/two");
    EXPECT_EQ(recorded[2].target, "http://tmsearch.example.com/three");
}

TEST_F(StandInServiceTest, servesNewConnectionsWhileManyHang) {
    service->setReply("/hang", Reply::hang());
    constexpr int kHanging = 40;
    std::vector<std::unique_ptr<RawConnection>> hanging;
    for (int i = 0; i < kHanging; ++i) {
        hanging.push_back(std::make_unique<RawConnection>(service->port()));
        ASSERT_TRUE(hanging.back()->send(
            getRequest("http://tmsearch.example.com/hang?n=" + std::to_string(i))));
    }
    for (int i = 0; i < kHanging; ++i) {
        const auto target = "http://tmsearch.example.com/hang?n=" + std::to_string(i);
        ASSERT_TRUE(service->waitForRequest(
            [&](const RecordedRequest& r) { return r.target == target; }, kLong));
    }

    const auto fresh = exchange(getRequest("http://tmsearch.example.com/fresh"));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->status, 200);

    service.reset();
    for (int i = 0; i < kHanging; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(hanging[i]->closesWithoutMoreBytes());
    }
}

TEST_F(StandInServiceTest, shutdownCutsSlowAndUnansweredRequestsShort) {
    // Neither the hour-long delay nor the hanging reply may hold up the destructor; the test's
    // own time limit catches a destructor that waits for them.
    service->setReply("/slow", Reply::slow(std::chrono::hours(1)));
    service->setReply("/hang", Reply::hang());
    RawConnection slow(service->port());
    RawConnection hang(service->port());
    ASSERT_TRUE(slow.send(getRequest("http://tmsearch.example.com/slow")));
    ASSERT_TRUE(hang.send(getRequest("http://tmsearch.example.com/hang")));
    ASSERT_TRUE(service->waitForRequest("/slow", kLong));
    ASSERT_TRUE(service->waitForRequest("/hang", kLong));

    service.reset();
    EXPECT_TRUE(slow.closesWithoutMoreBytes());
    EXPECT_TRUE(hang.closesWithoutMoreBytes());
}

TEST_F(StandInServiceTest, waitForRequestSeesEarlierRequestsAndGivesUp) {
    ASSERT_TRUE(exchange(getRequest("http://tmsearch.example.com/early")));
    EXPECT_TRUE(service->waitForRequest("/early", 0ms));
    EXPECT_FALSE(service->waitForRequest("/never", 50ms));
    service->clear();
    EXPECT_TRUE(service->requests().empty());
    EXPECT_FALSE(service->waitForRequest("/early", 0ms));
}

TEST(StandInServiceFlags, nameTheProxyAndTakeLoopbackThroughIt) {
    StandInService service;
    EXPECT_EQ(service.chromiumFlags(),
              "--proxy-server=http://127.0.0.1:" + std::to_string(service.port()) +
                  " --proxy-bypass-list=<-loopback>");
}

// ---------------------------------------------------------------------------------------------
// Process

// True once `pid` is gone altogether, neither running nor a zombie. A descendant orphaned by a
// stop comes to the test binary (the support library makes it a subreaper), so reaping it here
// is part of checking that nothing is left.
bool goneWithin(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        ::waitpid(pid, nullptr, WNOHANG);
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

TEST(ProcessTest, stopTerminatesByPidAndReaps) {
    Process sleeper({"sleep", "100"});
    const pid_t pid = sleeper.pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(sleeper.waitExit(50ms), std::nullopt);
    EXPECT_EQ(sleeper.stop(), ExitStatus::killedBy(SIGTERM));
    // Reaped, not a zombie: the PID is gone.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(sleeper.stop(), ExitStatus::killedBy(SIGTERM));  // again: same answer, no signal
}

TEST(ProcessTest, stopEscalatesToSigkillAndEndsLeftoverDescendants) {
    ProcessOptions options;
    options.stdoutTo = Output::capture();
    Process stubborn({"sh", "-c", "trap '' TERM; sleep 100 & echo $!; wait"}, options);
    ASSERT_TRUE(stubborn.waitForCaptured(Stream::Stdout, "\n", kLong));
    const pid_t descendant = std::stoi(stubborn.captured(Stream::Stdout));

    EXPECT_EQ(stubborn.stop(200ms), ExitStatus::killedBy(SIGKILL));
    EXPECT_TRUE(goneWithin(descendant, kLong));
}

TEST(ProcessTest, reportsHowTheChildEnded) {
    const struct {
        const char* script;
        ExitStatus expected;
    } rows[] = {
        {"exit 0", ExitStatus::exited(0)},
        {"exit 3", ExitStatus::exited(3)},
        {"kill -USR1 $$", ExitStatus::killedBy(SIGUSR1)},
        {"kill -KILL $$", ExitStatus::killedBy(SIGKILL)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        Process child({"sh", "-c", row.script});
        EXPECT_EQ(child.waitExit(kLong), row.expected);
    }
}

TEST(ProcessTest, childSeesOverriddenAndUnsetVariables) {
    ::setenv("TALVIMER_SUPPORT_REPLACED", "old", 1);
    ::setenv("TALVIMER_SUPPORT_DROPPED", "present", 1);
    ProcessOptions options;
    options.setEnvironment = {{"TALVIMER_SUPPORT_REPLACED", "新值"},
                              {"TALVIMER_SUPPORT_ADDED", "a b"}};
    options.unsetEnvironment = {"TALVIMER_SUPPORT_DROPPED"};
    options.stdoutTo = Output::capture();
    Process env({"env"}, options);
    ASSERT_EQ(env.waitExit(kLong), ExitStatus::exited(0));
    env.stop();
    ::unsetenv("TALVIMER_SUPPORT_REPLACED");
    ::unsetenv("TALVIMER_SUPPORT_DROPPED");

    std::vector<std::string> ours;
    std::istringstream lines(env.captured(Stream::Stdout));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("TALVIMER_SUPPORT_")) ours.push_back(line);
    }
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(ours, (std::vector<std::string>{"TALVIMER_SUPPORT_ADDED=a b",
                                              "TALVIMER_SUPPORT_REPLACED=新值"}));
    EXPECT_FALSE(env.captured(Stream::Stdout).find("PATH=") == std::string::npos)
        << "the rest of the environment is inherited";
}

TEST(ProcessTest, capturesToPipesAndFilesWithoutBlockingTheChild) {
    const std::string path =
        ::testing::TempDir() + "support_test_stdout_" + std::to_string(::getpid()) + ".txt";
    ProcessOptions options;
    options.stdoutTo = Output::toFile(path);
    options.stderrTo = Output::capture();
    // Three megabytes on stderr: far more than a pipe holds, so an undrained pipe would stall
    // the child and waitExit would time out.
    Process chatty({"sh", "-c", "printf to-file; head -c 3000000 /dev/zero | tr '\\0' x >&2"},
                   options);
    ASSERT_EQ(chatty.waitExit(kLong), ExitStatus::exited(0));
    chatty.stop();
    EXPECT_EQ(chatty.captured(Stream::Stderr), std::string(3'000'000, 'x'));
    std::ifstream file(path);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "to-file");
    std::filesystem::remove(path);
}

// Runs only as the child of childrenEndWhenTheirTestDiesWithoutCleaningUp: starts a sleeper,
// prints its PID and dies without running a destructor, as a crashing test would.
TEST(ProcessHelper, DISABLED_startSleeperThenDie) {
    Process sleeper({"sleep", "100"});
    std::printf("%d\n", static_cast<int>(sleeper.pid()));
    std::fflush(stdout);
    ::_exit(1);
}

TEST(ProcessTest, childrenEndWhenTheirTestDiesWithoutCleaningUp) {
    if (!isExecutableInPath("setpriv")) GTEST_SKIP() << "setpriv (util-linux) is not installed";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    ProcessOptions options;
    options.stdoutTo = Output::capture();
    Process dying({self, "--gtest_also_run_disabled_tests",
                   "--gtest_filter=ProcessHelper.DISABLED_startSleeperThenDie"},
                  options);
    ASSERT_EQ(dying.waitExit(kLong), ExitStatus::exited(1));
    dying.stop();

    // The sleeper led a process group of its own, so only the parent-death signal can end it.
    pid_t sleeper = -1;
    std::istringstream lines(dying.captured(Stream::Stdout));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            sleeper = std::stoi(line);
    }
    ASSERT_GT(sleeper, 0) << dying.captured(Stream::Stdout);
    const bool ended = goneWithin(sleeper, kLong);
    EXPECT_TRUE(ended);
    if (!ended) ::kill(sleeper, SIGKILL);  // not to leave it holding ctest's output open
}

TEST(ProcessTest, missingProgramThrows) {
    EXPECT_THROW(Process({"/nonexistent/talvimer-support-missing"}), std::system_error);
    EXPECT_THROW(Process({"talvimer-support-missing-in-path"}), std::system_error);
}

// ---------------------------------------------------------------------------------------------
// Xvfb and the X helpers

// A tiny X client standing in for the program's window.
class TestWindow {
public:
    struct Settings {
        int x = 40;
        int y = 60;
        int width = 300;
        int height = 200;
        std::optional<std::string> netWmName;  // UTF-8
        std::optional<std::string> wmName;     // Latin-1, as type STRING
        bool takesDeleteWindow = true;
        bool map = true;
    };

    TestWindow(const std::string& displayName, const Settings& settings) {
        m_display = XOpenDisplay(displayName.c_str());
        if (!m_display) return;
        const int screen = DefaultScreen(m_display);
        // Pure red, so a screenshot can be checked channel by channel.
        m_window = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), settings.x,
                                       settings.y, settings.width, settings.height, 0, 0, 0xFF0000);
        XSelectInput(m_display, m_window,
                     KeyPressMask | ButtonPressMask | StructureNotifyMask | FocusChangeMask);
        if (settings.netWmName) {
            XChangeProperty(m_display, m_window, XInternAtom(m_display, "_NET_WM_NAME", False),
                            XInternAtom(m_display, "UTF8_STRING", False), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(settings.netWmName->data()),
                            static_cast<int>(settings.netWmName->size()));
        }
        if (settings.wmName) XStoreName(m_display, m_window, settings.wmName->c_str());
        if (settings.takesDeleteWindow) {
            Atom deleteWindow = XInternAtom(m_display, "WM_DELETE_WINDOW", False);
            XSetWMProtocols(m_display, m_window, &deleteWindow, 1);
        }
        if (settings.map) {
            XMapWindow(m_display, m_window);
            m_ready = waitForEvent([](const XEvent& e) { return e.type == MapNotify; }, kLong)
                          .has_value();
        } else {
            XSync(m_display, False);
            m_ready = true;
        }
    }
    ~TestWindow() {
        if (!m_display) return;
        if (m_window) XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    bool ready() const { return m_display && m_ready; }
    Window id() const { return m_window; }
    Display* display() const { return m_display; }

    // The first event that matches, reading events for up to `timeout`.
    std::optional<XEvent> waitForEvent(const std::function<bool(const XEvent&)>& match,
                                       std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (match(event)) return event;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd pfd{ConnectionNumber(m_display), POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(std::min<long>(left.count(), 100)));
        }
    }

private:
    Display* m_display = nullptr;
    Window m_window = 0;
    bool m_ready = false;
};

const std::string kCaption = "Ostrevan专版-Talvimer2.0";

class XDisplayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_display = new VirtualDisplay(); }
    static void TearDownTestSuite() {
        delete s_display;
        s_display = nullptr;
    }

    void SetUp() override {
        if (s_display->missing()) GTEST_SKIP() << s_display->error();
        ASSERT_TRUE(s_display->running()) << s_display->error();
        x = std::make_unique<XSession>(s_display->name());
    }

    std::unique_ptr<TestWindow> makeWindow(const TestWindow::Settings& settings) {
        auto window = std::make_unique<TestWindow>(s_display->name(), settings);
        EXPECT_TRUE(window->ready());
        return window;
    }

    static VirtualDisplay* s_display;
    std::unique_ptr<XSession> x;
};

VirtualDisplay* XDisplayTest::s_display = nullptr;

TEST_F(XDisplayTest, virtualDisplaysTakeFreeNumbersAndStopByPid) {
    EXPECT_EQ(s_display->name(), ":" + std::to_string(s_display->number()));
    VirtualDisplay second;
    ASSERT_TRUE(second.running()) << second.error();
    EXPECT_NE(second.number(), s_display->number());
    XSession client(second.name());
    EXPECT_TRUE(client.hasXTest());

    const pid_t pid = second.pid();
    second.stop();
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_FALSE(second.running());
    // A session whose server has gone fails its calls instead of ending the test binary.
    EXPECT_FALSE(client.findWindow(kCaption, 0ms));
    EXPECT_FALSE(client.connected());
}

TEST_F(XDisplayTest, findsViewableWindowsByExactCaption) {
    TestWindow::Settings modern;
    modern.netWmName = kCaption;
    TestWindow::Settings legacy;
    legacy.wmName = "Caf\xE9";  // Latin-1, as WM_NAME of type STRING
    legacy.x = 400;
    TestWindow::Settings hidden;
    hidden.netWmName = "隐藏窗口";
    hidden.map = false;
    const auto modernWindow = makeWindow(modern);
    const auto legacyWindow = makeWindow(legacy);
    const auto hiddenWindow = makeWindow(hidden);

    const struct {
        const char* name;
        std::string caption;
        std::optional<Window> expected;
    } rows[] = {
        {"Chinese caption in _NET_WM_NAME", kCaption, modernWindow->id()},
        {"Latin-1 WM_NAME read as UTF-8", "Café", legacyWindow->id()},
        {"a prefix is not the caption", "Ostrevan专版", std::nullopt},
        {"a trailing space is not the caption", kCaption + " ", std::nullopt},
        {"an unmapped window is not found", "隐藏窗口", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto timeout = row.expected ? kLong : std::chrono::milliseconds(100);
        EXPECT_EQ(x->findWindow(row.caption, timeout), row.expected);
    }
    EXPECT_EQ(x->windowsWithCaption("隐藏窗口"), std::vector<XWindow>{hiddenWindow->id()});
    EXPECT_EQ(x->caption(modernWindow->id()), kCaption);
}

TEST_F(XDisplayTest, geometryIsInRootCoordinates) {
    TestWindow::Settings settings;
    settings.netWmName = kCaption;
    settings.x = 123;
    settings.y = 45;
    settings.width = 934;
    settings.height = 588;
    const auto window = makeWindow(settings);
    EXPECT_EQ(x->geometry(window->id()), (WindowGeometry{123, 45, 934, 588}));
}

TEST_F(XDisplayTest, closeRequestArrivesAsWmDeleteWindow) {
    TestWindow::Settings settings;
    settings.netWmName = kCaption;
    const auto window = makeWindow(settings);
    const auto found = x->findWindow(kCaption, kLong);
    ASSERT_TRUE(found);
    ASSERT_TRUE(x->requestClose(*found));

    Display* display = window->display();
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    const auto message =
        window->waitForEvent([](const XEvent& e) { return e.type == ClientMessage; }, kLong);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->xclient.window, window->id());
    EXPECT_EQ(message->xclient.message_type, protocols);
    EXPECT_EQ(message->xclient.format, 32);
    EXPECT_EQ(static_cast<Atom>(message->xclient.data.l[0]), deleteWindow);
}

TEST_F(XDisplayTest, closeRequestIsNotSentToWindowsWithoutTheProtocol) {
    TestWindow::Settings settings;
    settings.netWmName = "无关闭协议";
    settings.takesDeleteWindow = false;
    const auto window = makeWindow(settings);
    EXPECT_FALSE(x->requestClose(window->id()));
    EXPECT_FALSE(
        window->waitForEvent([](const XEvent& e) { return e.type == ClientMessage; }, 200ms));
}

TEST_F(XDisplayTest, keysAndClicksReachTheFocusedWindow) {
    ASSERT_TRUE(x->hasXTest());
    TestWindow::Settings settings;
    settings.netWmName = kCaption;
    const auto window = makeWindow(settings);
    x->focus(window->id());
    ASSERT_TRUE(window->waitForEvent([](const XEvent& e) { return e.type == FocusIn; }, kLong));

    ASSERT_TRUE(x->pressKey("Escape"));
    ASSERT_TRUE(x->typeText("aA 1\n"));
    ASSERT_TRUE(x->pressKey("shift+Tab"));
    ASSERT_TRUE(x->pressKey("Enter"));
    EXPECT_FALSE(x->pressKey("NoSuchKeyName"));
    EXPECT_FALSE(x->pressKey("hyper+Tab"));
    EXPECT_FALSE(x->typeText("é"));
    ASSERT_TRUE(x->click(window->id(), 15, 25, 3));

    struct Key {
        KeySym keysym;
        bool shift;
        bool operator==(const Key&) const = default;
    };
    const std::vector<Key> expected = {
        {XK_Escape, false}, {XK_a, false},      {XK_a, true},   {XK_space, false},
        {XK_1, false},      {XK_Return, false}, {XK_Tab, true}, {XK_Return, false},
    };
    std::vector<Key> keys;
    const auto button = window->waitForEvent(
        [&](const XEvent& e) {
            if (e.type == KeyPress) {
                XKeyEvent key = e.xkey;
                const KeySym keysym = XLookupKeysym(&key, 0);
                if (keysym != XK_Shift_L) keys.push_back({keysym, (key.state & ShiftMask) != 0});
            }
            return e.type == ButtonPress;
        },
        kLong);
    ASSERT_TRUE(button);
    EXPECT_TRUE(keys == expected) << "got " << keys.size() << " key presses";
    EXPECT_EQ(button->xbutton.button, 3u);
    EXPECT_EQ(button->xbutton.x, 15);
    EXPECT_EQ(button->xbutton.y, 25);
}

// Width and height from a PNG's IHDR chunk, or nullopt if the file is no PNG.
std::optional<std::pair<int, int>> pngSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string head(24, '\0');
    if (!file.read(head.data(), 24) || head.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        head.compare(12, 4, "IHDR") != 0)
        return std::nullopt;
    auto bigEndian = [&](int at) {
        int value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(head[at + i]);
        return value;
    };
    return std::pair{bigEndian(16), bigEndian(20)};
}

TEST_F(XDisplayTest, screenshotsAreDecodablePngs) {
    TestWindow::Settings settings;
    settings.netWmName = kCaption;
    settings.x = 200;
    settings.y = 100;
    const auto window = makeWindow(settings);
    ASSERT_TRUE(x->findWindow(kCaption, kLong));
    const std::string base = ::testing::TempDir() + "support_test_" + std::to_string(::getpid());
    const std::string screen = base + "_screen.png";
    const std::string part = base + "_window.png";
    ASSERT_TRUE(x->screenshot(screen));
    ASSERT_TRUE(x->screenshot(window->id(), part));
    EXPECT_EQ(pngSize(screen), (std::pair{s_display->width(), s_display->height()}));
    EXPECT_EQ(pngSize(part), (std::pair{300, 200}));

    // An independent decoder reads back the window's red at its place on the screen.
    if (isExecutableInPath("convert")) {
        const struct {
            std::string file;
            std::string crop;
        } samples[] = {{screen, "1x1+210+110"}, {part, "1x1+10+10"}};
        for (const auto& sample : samples) {
            SCOPED_TRACE(sample.file);
            ProcessOptions options;
            options.stdoutTo = Output::capture();
            Process convert({"convert", sample.file, "-crop", sample.crop, "txt:-"}, options);
            ASSERT_EQ(convert.waitExit(kLong), ExitStatus::exited(0));
            convert.stop();
            EXPECT_NE(convert.captured(Stream::Stdout).find("#FF0000"), std::string::npos)
                << convert.captured(Stream::Stdout);
        }
    }
    std::filesystem::remove(screen);
    std::filesystem::remove(part);
}

}  // namespace
}  // namespace testsupport
