// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The real talvimer binary under a private Xvfb, its web views sent through a loopback
// stand-in of the service, driven from outside as a user would.
#include "common/outside_in.h"
#include "query/query.h"
#include "support/process.h"
#include "support/stand_in_service.h"
#include "support/virtual_display.h"
#include "support/x11.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

using namespace outside_in;

std::string WithoutFragment(std::string url) {
    if (const auto hash = url.find('#'); hash != std::string::npos) url.resize(hash);
    return url;
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (display.missing()) GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_TRUE(display.running()) << display.error();
        x.emplace(display.name());
        ASSERT_TRUE(x->connected());
    }

    void start(const char* binary = TALVIMER_BINARY) {
        const ProcessOptions options = ProgramOptions(display, service);
        program.emplace(std::vector<std::string>{binary}, options);
        window = x->findWindow(caption, 30s);
        ASSERT_TRUE(window) << "no window; stderr: " << program->captured(Stream::Stderr);
    }

    void click(Spot spot) { ASSERT_TRUE(x->click(*window, spot.x, spot.y)); }

    void typeKeyword(const std::string& keyword) {
        click(keywordBox);
        ASSERT_TRUE(x->pressKey("ctrl+a"));
        if (keyword.empty()) {
            ASSERT_TRUE(x->pressKey("BackSpace"));
        } else {
            ASSERT_TRUE(x->typeText(keyword));
        }
    }

    // Presses a button and waits for both of its requests; expects exactly the URLs the views
    // were sent, less the statistics URL's fragment, which never goes on the wire.
    void expectQuery(Spot button, QueryKind kind, const std::string& encoded) {
        const std::string list = BuildRequestUrl(kind, QueryPage::List, encoded);
        const std::string statistics =
            WithoutFragment(BuildRequestUrl(kind, QueryPage::Statistics, encoded));
        service.clear();
        click(button);
        const auto listRequest =
            service.waitForRequest([&](const RecordedRequest& r) { return r.target == list; }, 20s);
        const auto statisticsRequest = service.waitForRequest(
            [&](const RecordedRequest& r) { return r.target == statistics; }, 20s);
        EXPECT_TRUE(listRequest) << "list page never asked for: " << list << "\n" << seen();
        EXPECT_TRUE(statisticsRequest) << "statistics page never asked for: " << statistics << "\n"
                                       << seen();
        if (listRequest) {
            EXPECT_EQ(listRequest->method, "GET");
        }
        if (statisticsRequest) {
            EXPECT_EQ(statisticsRequest->method, "GET");
        }
    }

    std::string seen() const {
        std::string all = "requests seen:";
        for (const auto& r : service.requests()) all += "\n  " + r.method + " " + r.target;
        return all;
    }

    // A window that has only just appeared may not take input yet, so the key is pressed again
    // a few times if the program is still running.
    ExitStatus closeWithEscape() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            click(keywordBox);
            EXPECT_TRUE(x->pressKey("Escape"));
            if (const auto status = program->waitExit(3s)) return *status;
        }
        return waitForExit();
    }

    ExitStatus waitForExit() {
        const auto status = program->waitExit(15s);
        EXPECT_TRUE(status) << "the program did not exit";
        return status.value_or(program->stop());
    }

    VirtualDisplay display;
    StandInService service;
    std::optional<XSession> x;
    std::optional<Process> program;
    std::optional<XWindow> window;
};

TEST_F(ProgramTest, ShowsItsWindowAndEscapeEndsWithStatusZeroPrintingNothing) {
    start();
    const auto geometry = x->geometry(*window);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->width, 934);
    EXPECT_EQ(geometry->height, 588);
    // Centred on the 1280 x 800 screen by the truncating formula.
    EXPECT_EQ(geometry->x, (1280 - 934) / 2);
    EXPECT_EQ(geometry->y, (800 - 588) / 2);
    EXPECT_EQ(closeWithEscape(), ExitStatus::exited(0));
    EXPECT_EQ(program->captured(Stream::Stdout), "");
    EXPECT_EQ(program->captured(Stream::Stderr), "");
}

TEST_F(ProgramTest, CloseRequestFromOutsideEndsWithStatusZero) {
    start();
    ASSERT_TRUE(x->requestClose(*window));
    EXPECT_EQ(waitForExit(), ExitStatus::exited(0));
    EXPECT_TRUE(x->waitUntilGone(*window, 5s));
}

TEST_F(ProgramTest, EveryButtonSendsBothRequestsByteForByte) {
    start();
    expectQuery(similarButton, QueryKind::Similar, "%E6%B4%AA%E8%8D%92%E4%B9%8B%E5%8A%9B");
    typeKeyword("abc");
    expectQuery(identicalButton, QueryKind::Identical, "%61%62%63");
    expectQuery(similarButton, QueryKind::Similar, "%61%62%63");
    expectQuery(registrationButton, QueryKind::RegistrationNumber, "%61%62%63");
    expectQuery(applicantButton, QueryKind::Applicant, "%61%62%63");
    expectQuery(agencyButton, QueryKind::Agency, "%61%62%63");
    typeKeyword("-._~");
    expectQuery(similarButton, QueryKind::Similar, "%2D%2E%5F%7E");
    typeKeyword("A1 b");
    expectQuery(agencyButton, QueryKind::Agency, "%41%31%20%62");
    typeKeyword("");
    expectQuery(identicalButton, QueryKind::Identical, "");
    // Enter in the keyword box starts nothing.
    service.clear();
    typeKeyword("abc");
    ASSERT_TRUE(x->pressKey("Return"));
    EXPECT_FALSE(service.waitForRequest("sbcxList", 2s)) << seen();
    EXPECT_EQ(closeWithEscape(), ExitStatus::exited(0));
}

TEST_F(ProgramTest, StartPageComesFromTheBuildsStartPage) {
    start(TALVIMER_START_PAGE_PROBE);
    const auto request = service.waitForRequest(
        [](const RecordedRequest& r) {
            return r.target == "http://start.talvimer.test/welcome.html";
        },
        20s);
    EXPECT_TRUE(request) << seen();
    EXPECT_EQ(closeWithEscape(), ExitStatus::exited(0));
}

// Whatever the service does, the next press goes out at once and the window stays usable.
TEST_F(ProgramTest, ServiceFaultsNeverHoldUpTheNextQuery) {
    struct Case {
        const char* what;
        Reply reply;
    };
    const Case cases[] = {
        {"answering 500", Reply::serverError()},
        {"very slow", Reply::slow(10s)},
        {"a 10 MiB page", Reply::big()},
        {"a connection that never answers", Reply::hang()},
        {"a page whose script loops for ever", Reply::endlessScript()},
    };
    start();
    typeKeyword("abc");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service.setDefaultReply(c.reply);
        expectQuery(similarButton, QueryKind::Similar, "%61%62%63");
        // Give the fault time to take hold in both views, then ask again.
        std::this_thread::sleep_for(1500ms);
        service.setDefaultReply(Reply::page());
        expectQuery(agencyButton, QueryKind::Agency, "%61%62%63");
    }
    service.stop();  // the service is gone altogether
    click(identicalButton);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(closeWithEscape(), ExitStatus::exited(0));
}

}  // namespace
