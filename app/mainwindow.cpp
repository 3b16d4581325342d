// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "app/mainwindow.h"

#include "layout/layout.h"
#include "layout/statusdate.h"
#include "query/query.h"

#include <array>

const char creditLine[] = "Talvimer 开发组 出品";

namespace {

constexpr std::array statusParts = {
    StatusPartDescription{200, creditLine},
    StatusPartDescription{200, ""},
};

// Stacking order, top first. Places are in the client area; sizes are outer sizes.
// clang-format off
constexpr std::array controls = {
    ControlDescription{.name = "状态条1", .kind = ControlKind::StatusBar,
        .left = 0, .top = 514, .width = 941, .height = 20,
        .takesFocus = false, .parts = statusParts,
        .description = "状态栏：制作者与今天的日期"},
    ControlDescription{.name = "统计", .kind = ControlKind::WebView,
        .left = 776, .top = 528, .width = 168, .height = 472,
        .enabled = false, .takesFocus = false, .textSizeLevel = 2,
        .description = "统计页：当前查询的统计结果，不接受输入"},
    ControlDescription{.name = "编辑框查询", .kind = ControlKind::EditBox,
        .left = 8, .top = 8, .width = 182, .height = 24, .text = "洪荒之力",
        .description = "查询关键词：输入要查询的商标文字"},
    ControlDescription{.name = "相同查询", .kind = ControlKind::PushButton,
        .left = 198, .top = 8, .width = 88, .height = 24, .text = "相同查询",
        .description = "查询与关键词相同的商标"},
    ControlDescription{.name = "近似查询", .kind = ControlKind::PushButton,
        .left = 286, .top = 8, .width = 88, .height = 24, .text = "近似查询",
        .description = "查询与关键词近似的商标"},
    ControlDescription{.name = "注册号码", .kind = ControlKind::PushButton,
        .left = 382, .top = 8, .width = 88, .height = 24, .text = "注册号码",
        .description = "按注册号查询商标"},
    ControlDescription{.name = "申请人查询", .kind = ControlKind::PushButton,
        .left = 478, .top = 8, .width = 104, .height = 24, .text = "申请人查询",
        .description = "按申请人查询商标"},
    ControlDescription{.name = "代理机构查询", .kind = ControlKind::PushButton,
        .left = 590, .top = 8, .width = 104, .height = 24, .text = "代理机构查询",
        .description = "按代理机构查询商标"},
    ControlDescription{.name = "超文本浏览框1", .kind = ControlKind::WebView,
        .left = 0, .top = 0, .width = 928, .height = 504,
        .textSizeLevel = 0, .startPage = resultViewStartPage,
        .description = "查询结果：商标列表页"},
};
// clang-format on

void MainWindowCreated() {
    CaptureLayout();
    ShowDateInStatusBar();
}

constexpr std::array bindings = {
    EventBinding{"MainWindow", WindowEvent::Created, MainWindowCreated},
    EventBinding{"MainWindow", WindowEvent::SizeChanged, ApplyLayout},
    EventBinding{"相同查询", WindowEvent::Clicked, [] { RunQuery(QueryKind::Identical); }},
    EventBinding{"近似查询", WindowEvent::Clicked, [] { RunQuery(QueryKind::Similar); }},
    EventBinding{"注册号码", WindowEvent::Clicked, [] { RunQuery(QueryKind::RegistrationNumber); }},
    EventBinding{"申请人查询", WindowEvent::Clicked, [] { RunQuery(QueryKind::Applicant); }},
    EventBinding{"代理机构查询", WindowEvent::Clicked, [] { RunQuery(QueryKind::Agency); }},
};

}  // namespace

const WindowDescription mainWindowDescription = {
    .name = "MainWindow",
    .caption = "Ostrevan专版-Talvimer2.0",
    .description = "商标查询：输入关键词后按下一个查询按钮",
    .icon = ":/talvimer/talvimer.svg",
    .width = 934,
    .height = 588,
    .escapeCloses = true,
    .controls = controls,
    .bindings = bindings,
};
