// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// A real MainWindow on the offscreen platform, with fresh program state for each test.
#pragma once

#include "app/mainwindow.h"
#include "app/state.h"
#include "toolkit/handles.h"
#include "toolkit/widgets.h"
#include "toolkit/window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string_view>

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateProgramState();
        handle = CreateWindowFromDescription(mainWindowDescription);
        ASSERT_NE(handle, 0u);
        window = WidgetOf(handle);
        ASSERT_NE(window, nullptr);
    }

    void TearDown() override {
        delete window.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ReleaseProgramState();
    }

    template <typename Widget = QWidget>
    Widget* control(std::string_view name) const {
        return qobject_cast<Widget*>(WidgetOf(FindWindowNamed(name)));
    }

    // Processes events until done() holds or the time runs out; returns whether it held.
    static bool waitUntil(const std::function<bool()>& done,
                          std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > limit.count()) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    WindowHandle handle = 0;
    QPointer<QWidget> window;
};
