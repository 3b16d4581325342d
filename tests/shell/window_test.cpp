// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "app/start.h"
#include "common/window_fixture.h"
#include "toolkit/runtime.h"

#include <QAccessible>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string NameOf(const QWidget* widget) {
    return widget->objectName().toStdString();
}

// The control of MainWindow that holds the focus, the web views' inner widgets counted as
// their view.
std::string FocusedControl(const QWidget* window) {
    for (QWidget* w = QApplication::focusWidget(); w; w = w->parentWidget()) {
        if (w->parentWidget() == window) return NameOf(w);
    }
    return {};
}

TEST(CentredOriginTest, TruncatesTowardZeroOnAnyScreen) {
    struct Case {
        const char* what;
        int screenWidth, screenHeight;
        WindowPoint expected;
    };
    const Case cases[] = {
        {"full HD", 1920, 1080, {493, 246}},
        {"smaller than the window goes negative", 800, 600, {-67, 6}},
        {"exactly the window", 934, 588, {0, 0}},
        {"odd remainder truncates", 935, 589, {0, 0}},
        {"odd negative remainder truncates toward zero", 933, 587, {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const WindowPoint origin = CentredOrigin(c.screenWidth, c.screenHeight, 934, 588);
        EXPECT_EQ(origin.x, c.expected.x);
        EXPECT_EQ(origin.y, c.expected.y);
    }
}

using MainWindowShell = MainWindowTest;

TEST_F(MainWindowShell, OpensWithCaptionSizeAndEveryControlInPlace) {
    EXPECT_EQ(window->windowTitle().toStdString(), "Ostrevan专版-Talvimer2.0");
    EXPECT_EQ(window->size(), QSize(934, 588));
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(QApplication::windowIcon().pixmap(32, 32).isNull());

    struct Expected {
        const char* name;
        const char* className;
        QRect rect;
        bool enabled;
    };
    // The status bar has docked itself to the bottom edge at full width.
    const Expected expected[] = {
        {"状态条1", "StatusBar", {0, 568, 934, 20}, true},
        {"统计", "WebView", {776, 528, 168, 472}, false},
        {"编辑框查询", "QLineEdit", {8, 8, 182, 24}, true},
        {"相同查询", "QPushButton", {198, 8, 88, 24}, true},
        {"近似查询", "QPushButton", {286, 8, 88, 24}, true},
        {"注册号码", "QPushButton", {382, 8, 88, 24}, true},
        {"申请人查询", "QPushButton", {478, 8, 104, 24}, true},
        {"代理机构查询", "QPushButton", {590, 8, 104, 24}, true},
        {"超文本浏览框1", "WebView", {0, 0, 928, 504}, true},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        QWidget* widget = control(e.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_STREQ(widget->metaObject()->className(), e.className);
        EXPECT_EQ(widget->parentWidget(), window.data());
        EXPECT_EQ(widget->geometry(), e.rect);
        EXPECT_EQ(widget->isEnabled(), e.enabled);
        EXPECT_TRUE(widget->isVisible());
    }
    EXPECT_EQ(control<QLineEdit>("编辑框查询")->text().toStdString(), "洪荒之力");
    for (const char* caption : {"相同查询", "近似查询", "注册号码", "申请人查询", "代理机构查询"}) {
        auto* button = control<QPushButton>(caption);
        EXPECT_EQ(button->text().toStdString(), caption);
        EXPECT_FALSE(button->autoDefault());
        EXPECT_FALSE(button->isDefault());
    }
    auto* bar = control<StatusBar>("状态条1");
    ASSERT_EQ(bar->partCount(), 2);
    EXPECT_EQ(bar->partText(0).toStdString(), creditLine);
    EXPECT_EQ(bar->partRect(0).width(), 200);
    EXPECT_EQ(bar->partRect(1).right() + 1, 400);
    EXPECT_EQ(control<WebView>("超文本浏览框1")->lastSentUrl(), resultViewStartPage);
    EXPECT_EQ(control<WebView>("统计")->sendCount(), 0);
    EXPECT_DOUBLE_EQ(control<WebView>("超文本浏览框1")->browser()->zoomFactor(),
                     WebView::zoomForLevel(0));
    // The statistics view has shown nothing yet, so it has no browser yet; it gets its own
    // text size when it does.
    EXPECT_FALSE(control<WebView>("统计")->hasBrowser());
    EXPECT_DOUBLE_EQ(control<WebView>("统计")->browser()->zoomFactor(), 1.0);
}

TEST_F(MainWindowShell, DescendantsAreMetInStackingOrderTopFirst) {
    std::vector<std::string> names;
    EnumChildWindows(
        handle,
        [](WindowHandle child, std::intptr_t list) -> std::intptr_t {
            if (GetParent(child) == FindWindowNamed("MainWindow")) {
                reinterpret_cast<std::vector<std::string>*>(list)->push_back(
                    NameOf(WidgetOf(child)));
            }
            return 1;
        },
        reinterpret_cast<std::intptr_t>(&names));
    const std::vector<std::string> expected = {"状态条1",    "统计",         "编辑框查询",
                                               "相同查询",   "近似查询",     "注册号码",
                                               "申请人查询", "代理机构查询", "超文本浏览框1"};
    EXPECT_EQ(names, expected);
    // Stacking: the keyword box and the buttons are drawn over the result view.
    const QPoint insideKeywordBox = control("编辑框查询")->geometry().center();
    EXPECT_EQ(NameOf(window->childAt(insideKeywordBox)), "编辑框查询");
}

TEST_F(MainWindowShell, FocusOpensInResultViewAndTabCyclesAgainstTableOrder) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    ASSERT_TRUE(waitUntil([&] { return FocusedControl(window) == "超文本浏览框1"; }))
        << "focus is on " << FocusedControl(window);

    const std::array<const char*, 7> cycle = {"超文本浏览框1", "代理机构查询", "申请人查询",
                                              "注册号码",      "近似查询",     "相同查询",
                                              "编辑框查询"};
    // From each control that is not a web view, Tab goes to the next one of the cycle and
    // Shift+Tab to the one before. A focused web view may keep these keys for its page.
    for (std::size_t i = 1; i < cycle.size(); ++i) {
        SCOPED_TRACE(cycle[i]);
        control(cycle[i])->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(waitUntil([&] { return FocusedControl(window) == cycle[(i + 1) % 7]; }))
            << "focus is on " << FocusedControl(window);
        control(cycle[i])->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_TRUE(waitUntil([&] { return FocusedControl(window) == cycle[i - 1]; }))
            << "focus is on " << FocusedControl(window);
    }
    // The disabled statistics view and the status bar never take the focus.
    EXPECT_EQ(control("统计")->focusPolicy() & Qt::TabFocus, 0);
    EXPECT_EQ(control("状态条1")->focusPolicy(), Qt::NoFocus);
}

TEST_F(MainWindowShell, EnterStartsNoQuery) {
    auto* statistics = control<WebView>("统计");
    auto* result = control<WebView>("超文本浏览框1");
    for (const char* name : {"编辑框查询", "近似查询", "代理机构查询"}) {
        SCOPED_TRACE(name);
        control(name)->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(control(name), Qt::Key_Return);
        QTest::keyClick(control(name), Qt::Key_Enter);
        QCoreApplication::processEvents();
        EXPECT_EQ(FocusedControl(window), name);
    }
    EXPECT_EQ(statistics->sendCount(), 0);
    EXPECT_EQ(result->sendCount(), 1);  // the start page only
}

TEST_F(MainWindowShell, EscapeClosesFromKeywordBoxOrButton) {
    for (const char* name : {"编辑框查询", "相同查询"}) {
        SCOPED_TRACE(name);
        if (!window) SetUp();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        control(name)->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(control(name), Qt::Key_Escape);
        EXPECT_TRUE(waitUntil([&] { return window.isNull(); }));
        ReleaseProgramState();
    }
}

TEST_F(MainWindowShell, ScreenReadersFindANameAndDescriptionForEveryControl) {
    QAccessibleInterface* top = QAccessible::queryAccessibleInterface(window);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->text(QAccessible::Name).toStdString(), "Ostrevan专版-Talvimer2.0");
    EXPECT_FALSE(top->text(QAccessible::Description).isEmpty());
    for (const auto& description : mainWindowDescription.controls) {
        SCOPED_TRACE(description.name);
        QAccessibleInterface* item =
            QAccessible::queryAccessibleInterface(control(description.name));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->text(QAccessible::Name).toStdString(), description.name);
        EXPECT_EQ(item->text(QAccessible::Description).toStdString(), description.description);
        EXPECT_GE(std::strlen(description.description), 6u);
    }
    // What the status bar paints is readable too.
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(control("状态条1"));
    EXPECT_EQ(bar->role(), QAccessible::StatusBar);
    EXPECT_TRUE(bar->text(QAccessible::Value).startsWith(QString::fromUtf8(creditLine)));
    EXPECT_TRUE(bar->text(QAccessible::Value).contains(QStringLiteral("日")));
}

TEST_F(MainWindowShell, WebViewsOpenNoDialogOfTheirOwn) {
    QWebEngineView* view = control<WebView>("超文本浏览框1")->browser();
    bool finished = false;
    QObject::connect(view, &QWebEngineView::loadFinished, view, [&] { finished = true; });
    view->setHtml(
        QStringLiteral("<script>alert(1);confirm(2);prompt(3);"
                       "document.title=String(confirm(4))+prompt(5)</script>"));
    ASSERT_TRUE(waitUntil([&] { return finished && view->title() == QStringLiteral("falsenull"); }))
        << view->title().toStdString();
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top != window && top->isVisible()) ADD_FAILURE() << top->metaObject()->className();
    }
}

// Window events of a small description, to see when the toolkit raises them.
std::vector<std::string> raised;
void RecordCreated() {
    raised.push_back(WidgetOf(FindWindowNamed("Probe"))->isVisible() ? "created+visible"
                                                                     : "created");
}
void RecordMoved() {
    raised.push_back("position");
}
void RecordSized() {
    raised.push_back(WidgetOf(FindWindowNamed("Probe"))->isVisible() ? "size+visible" : "size");
}

TEST(WindowEventsTest, CreatedPositionSizeBeforeShowThenSizeOnlyOnRealChange) {
    static constexpr std::array bindings = {
        EventBinding{"Probe", WindowEvent::Created, RecordCreated},
        EventBinding{"Probe", WindowEvent::PositionChanged, RecordMoved},
        EventBinding{"Probe", WindowEvent::SizeChanged, RecordSized},
    };
    const WindowDescription probe = {
        .name = "Probe", .caption = "probe", .width = 300, .height = 200, .bindings = bindings};
    raised.clear();
    QPointer<QWidget> window = WidgetOf(CreateWindowFromDescription(probe));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(raised, (std::vector<std::string>{"created", "position", "size"}));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    raised.clear();
    window->resize(300, 200);
    QCoreApplication::processEvents();
    EXPECT_TRUE(std::count(raised.begin(), raised.end(), "size+visible") == 0);
    window->resize(400, 250);
    QCoreApplication::processEvents();
    EXPECT_EQ(std::count(raised.begin(), raised.end(), "size+visible"), 1);
    window->showMinimized();
    QCoreApplication::processEvents();
    EXPECT_EQ(ClientWidth(HandleOf(window)), 0);
    EXPECT_EQ(ClientHeight(HandleOf(window)), 0);
    EXPECT_EQ(std::count(raised.begin(), raised.end(), "size+visible"), 2);
    delete window.data();
}

int probeRuns = 0;
bool windowGoneAtProbe = false;
bool stateAliveAtProbe = false;
void ExitProbe() {
    ++probeRuns;
    windowGoneAtProbe = FindWindowNamed("MainWindow") == 0;
    stateAliveAtProbe = DesignClientSize != nullptr && childLayoutList != nullptr;
}

TEST(StartProgramTest, ClosingTheWindowEndsTheLoopThenStateIsReleasedOnce) {
    RegisterExitRoutine(ExitProbe);
    QTimer::singleShot(200, [] {
        if (QWidget* window = WidgetOf(FindWindowNamed("MainWindow"))) window->close();
    });
    EXPECT_EQ(StartProgram(), 0);
    EXPECT_EQ(probeRuns, 0);  // exit routines wait for the orderly exit
    EXPECT_NE(DesignClientSize, nullptr);

    RunExitRoutines();
    EXPECT_EQ(probeRuns, 1);
    EXPECT_TRUE(windowGoneAtProbe);
    EXPECT_TRUE(stateAliveAtProbe);  // registered first, so it ran before the release
    EXPECT_EQ(DesignClientSize, nullptr);
    EXPECT_EQ(childWindowList, nullptr);
    EXPECT_EQ(childLayoutList, nullptr);

    RunExitRoutines();
    EXPECT_EQ(probeRuns, 1);
}

}  // namespace
