// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "common/window_fixture.h"
#include "layout/layout.h"
#include "layout/statusdate.h"
#include "toolkit/clock.h"
#include "toolkit/text.h"

#include <QTest>

#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

using MainWindowLayout = MainWindowTest;

// Every descendant of the window in enumeration order: children from the top of the stacking
// order, each followed by its own descendants.
std::vector<QWidget*> Descendants(QWidget* parent) {
    std::vector<QWidget*> all;
    const QObjectList children = parent->children();
    for (auto it = children.crbegin(); it != children.crend(); ++it) {
        auto* child = qobject_cast<QWidget*>(*it);
        if (!child || child->isWindow()) continue;
        all.push_back(child);
        const auto deeper = Descendants(child);
        all.insert(all.end(), deeper.begin(), deeper.end());
    }
    return all;
}

TEST_F(MainWindowLayout, CapturesEveryDescendantInEnumerationOrderWithParentRelativeRects) {
    EXPECT_EQ(DesignClientSize->right, 934);
    EXPECT_EQ(DesignClientSize->bottom, 588);
    ASSERT_EQ(childWindowList->size(), childLayoutList->size());
    ASSERT_GE(childWindowList->size(), 9u);
    // Descendants that appeared later (the views' page widgets) are not in the lists, but every
    // recorded one still stands at its place in the walk.
    std::vector<QWidget*> recorded;
    for (const WindowHandle handle : *childWindowList) recorded.push_back(WidgetOf(handle));
    std::vector<QWidget*> walk = Descendants(window);
    std::erase_if(walk, [&](QWidget* w) {
        return std::find(recorded.begin(), recorded.end(), w) == recorded.end();
    });
    EXPECT_EQ(recorded, walk);
    for (std::size_t k = 0; k < childLayoutList->size(); ++k) {
        const ChildLayout& record = *(*childLayoutList)[k];
        EXPECT_EQ(record.handle, (*childWindowList)[k]);
        QWidget* widget = WidgetOf(record.handle);
        SCOPED_TRACE(widget->objectName().toStdString());
        if (widget->objectName() == QStringLiteral("状态条1")) continue;  // docks itself
        EXPECT_EQ(QRect(record.left, record.top, record.width, record.height), widget->geometry());
    }
}

TEST_F(MainWindowLayout, DeeperDescendantsAreRecordedAndMovedLikeChildren) {
    auto* view = control("超文本浏览框1");
    auto* inner = new QWidget(view);
    inner->setGeometry(10, 20, 30, 40);
    // Capture again over a window that has a grandchild from the start.
    ReleaseProgramState();
    CreateProgramState();
    CaptureLayout();
    const auto found = std::find(childWindowList->begin(), childWindowList->end(), HandleOf(inner));
    ASSERT_NE(found, childWindowList->end());
    EXPECT_GT(found - childWindowList->begin(),
              std::find(childWindowList->begin(), childWindowList->end(), HandleOf(view)) -
                  childWindowList->begin());
    window->resize(1868, 1176);
    EXPECT_EQ(inner->geometry(), QRect(20, 40, 60, 80));
}

TEST_F(MainWindowLayout, ResizeToDoubleAndBackFollowsTheFormulaAndRestoresDesign) {
    std::vector<QRect> design;
    for (const auto& record : *childLayoutList) {
        design.emplace_back(record->left, record->top, record->width, record->height);
    }
    struct Step {
        const char* what;
        QSize client;
    };
    const Step steps[] = {
        {"double", {1868, 1176}},
        {"odd size", {1000, 300}},
        {"back to design", {934, 588}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        window->resize(step.client);
        ASSERT_EQ(window->size(), step.client);
        const float widthRatio = LayoutRatio(step.client.width(), 934);
        const float heightRatio = LayoutRatio(step.client.height(), 588);
        for (std::size_t k = 0; k < childLayoutList->size(); ++k) {
            QWidget* widget = WidgetOf((*childLayoutList)[k]->handle);
            if (!widget) continue;
            SCOPED_TRACE(widget->objectName().toStdString());
            if (widget->objectName() == QStringLiteral("状态条1")) {
                EXPECT_EQ(widget->geometry(),
                          QRect(0, step.client.height() - 20, step.client.width(), 20));
                continue;
            }
            const ScaledRect want =
                ScaleChildLayout(*(*childLayoutList)[k], widthRatio, heightRatio);
            EXPECT_EQ(widget->geometry(), QRect(want.x, want.y, want.width, want.height));
        }
    }
    for (std::size_t k = 0; k < childLayoutList->size(); ++k) {
        QWidget* widget = WidgetOf((*childLayoutList)[k]->handle);
        if (widget && widget->objectName() != QStringLiteral("状态条1")) {
            EXPECT_EQ(widget->geometry(), design[k]);
        }
    }
    auto* bar = control<StatusBar>("状态条1");
    EXPECT_EQ(bar->partRect(0).width(), 200);
    EXPECT_EQ(bar->partRect(1).width(), 200);
}

TEST_F(MainWindowLayout, SizeChangeAtDesignSizeLeavesEverythingInPlace) {
    std::vector<QRect> before;
    for (QWidget* w : Descendants(window)) before.push_back(w->geometry());
    ApplyLayout();
    std::vector<QRect> after;
    for (QWidget* w : Descendants(window)) after.push_back(w->geometry());
    EXPECT_EQ(before, after);
}

TEST_F(MainWindowLayout, MinimiseMovesAllToOriginAndRestoreBringsThemBack) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* edit = control("编辑框查询");
    window->showMinimized();
    QCoreApplication::processEvents();
    EXPECT_EQ(edit->geometry(), QRect(0, 0, 0, 0));
    EXPECT_EQ(control("超文本浏览框1")->geometry(), QRect(0, 0, 0, 0));
    window->showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(edit->geometry(), QRect(8, 8, 182, 24));
}

TEST_F(MainWindowLayout, WidgetsCreatedLaterAreNeverMovedAndGoneOnesAreHarmless) {
    auto* late = new QWidget(window);
    late->setGeometry(50, 60, 70, 80);
    late->show();
    delete control("近似查询");  // its record stays and must do nothing
    window->resize(1868, 1176);
    EXPECT_EQ(late->geometry(), QRect(50, 60, 70, 80));
    EXPECT_EQ(control("相同查询")->geometry(), QRect(396, 16, 176, 48));
}

// The suite also runs with QT_SCALE_FACTOR=2: the layout works in device-independent pixels,
// so every figure above holds whatever the device pixel ratio.
TEST_F(MainWindowLayout, WorksInDeviceIndependentPixels) {
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    EXPECT_DOUBLE_EQ(window->devicePixelRatioF(), scale ? std::atof(scale) : 1.0);
    EXPECT_EQ(ClientWidth(handle), 934);
    EXPECT_EQ(ClientHeight(handle), 588);
    window->resize(1401, 882);
    EXPECT_EQ(control("超文本浏览框1")->geometry(), QRect(0, 0, 1392, 756));
    EXPECT_EQ(control("代理机构查询")->geometry(), QRect(885, 12, 156, 36));
}

TEST(ApplyLayoutBeforeCaptureTest, MovesNothing) {
    CreateProgramState();
    ApplyLayout();  // no window, empty lists, design 0 x 0
    EXPECT_TRUE(childWindowList->empty());
    ReleaseProgramState();
}

// The date in the status bar.
std::time_t fixedNow = 0;
std::time_t FixedClock() {
    return fixedNow;
}

std::time_t Utc(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return timegm(&t);
}

class StatusDateTest : public MainWindowTest {
protected:
    void SetUp() override {
        ::setenv("TZ", "Asia/Shanghai", 1);  // UTC+8 all year
        ::tzset();
        SetClockSourceForTesting(FixedClock);
        fixedNow = Utc(2017, 2, 1, 4, 0);
        MainWindowTest::SetUp();
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        SetClockSourceForTesting(nullptr);
        ::unsetenv("TZ");
        ::tzset();
    }
};

TEST_F(StatusDateTest, LocalDateWithoutTimeOfDayAndCreditKept) {
    auto* bar = control<StatusBar>("状态条1");
    EXPECT_EQ(bar->partText(1).toStdString(), "2017年2月1日");
    EXPECT_EQ(bar->partText(0).toStdString(), creditLine);

    struct Case {
        const char* what;
        std::time_t now;
        const char* expected;
    };
    const Case cases[] = {
        {"two-digit month and day", Utc(2024, 12, 25, 6, 30), "2024年12月25日"},
        {"local date ahead of UTC", Utc(2024, 12, 24, 20, 0), "2024年12月25日"},
        {"late evening local time, no time of day", Utc(2017, 2, 1, 15, 59), "2017年2月1日"},
        {"local midnight", Utc(2017, 1, 31, 16, 0), "2017年2月1日"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixedNow = c.now;
        ShowDateInStatusBar();
        EXPECT_EQ(bar->partText(1).toStdString(), c.expected);
    }
}

TEST_F(StatusDateTest, DateStaysAsWrittenAcrossMidnight) {
    auto* bar = control<StatusBar>("状态条1");
    fixedNow = Utc(2017, 2, 1, 16, 1);  // the next local day has begun
    window->resize(1000, 700);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->partText(1).toStdString(), "2017年2月1日");
}

TEST(DateTimeToTextTest, AddsTheTimeOfDayOnlyWhereItIsNotMidnight) {
    struct Case {
        LocalDateTime value;
        const char* expected;
    };
    const Case cases[] = {
        {{2017, 2, 1, 0, 0, 0}, "2017年2月1日"},
        {{2017, 2, 1, 9, 0, 0}, "2017年2月1日9时"},
        {{2017, 2, 1, 9, 5, 0}, "2017年2月1日9时5分"},
        {{2017, 2, 1, 0, 0, 7}, "2017年2月1日0时0分7秒"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        // The text is in code page 936: compare through the widgets' own conversion.
        EXPECT_EQ(FromText(DateTimeToText(c.value)).toStdString(), c.expected);
        EXPECT_EQ(FromText(DateTimeToText(AtMidnight(c.value))).toStdString().find("时"),
                  std::string::npos);
    }
}

}  // namespace
