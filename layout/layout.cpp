// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "layout/layout.h"

#include "toolkit/fatal.h"
#include "toolkit/window.h"

#include <cmath>
#include <limits>

namespace {

constexpr char mainWindowName[] = "MainWindow";

}  // namespace

float LayoutRatio(std::int32_t client, std::int32_t design) {
    return static_cast<float>(static_cast<double>(client) / static_cast<double>(design));
}

std::int32_t ScaleLength(std::int32_t value, float ratio) {
    const double product = static_cast<double>(value) * static_cast<double>(ratio);
    if (!std::isfinite(product)) return 0;
    // Beyond what a coordinate can hold the result saturates instead of overflowing.
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    if (product <= lowest) return std::numeric_limits<std::int32_t>::min();
    if (product >= highest) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(product);  // truncates toward zero
}

ScaledRect ScaleChildLayout(const ChildLayout& record, float widthRatio, float heightRatio) {
    return {ScaleLength(record.left, widthRatio), ScaleLength(record.top, heightRatio),
            ScaleLength(record.width, widthRatio), ScaleLength(record.height, heightRatio)};
}

std::intptr_t CollectDescendant(WindowHandle window, std::intptr_t) {
    childWindowList->push_back(window);
    return static_cast<std::intptr_t>(window);
}

void CaptureLayout() {
    const WindowHandle mainWindow = FindWindowNamed(mainWindowName);
    DesignClientSize->right = ClientWidth(mainWindow);
    DesignClientSize->bottom = ClientHeight(mainWindow);
    EnumChildWindows(mainWindow, CollectDescendant, 0);
    const std::size_t n = childWindowList->size();
    WindowRect rect{};
    for (std::size_t k = 0; k < n; ++k) {
        const WindowHandle child = ListAt(*childWindowList, k);
        GetWindowRect(child, &rect);
        auto& record = childLayoutList->emplace_back(std::make_unique<ChildLayout>());
        // Recorded where the move will measure from, the parent's client area, so a size
        // change that keeps the client size leaves every window where it is.
        WindowPoint origin{rect.left, rect.top};
        ScreenToClient(GetParent(child), &origin);
        record->handle = child;
        record->left = origin.x;
        record->top = origin.y;
        record->width = rect.right - rect.left;
        record->height = rect.bottom - rect.top;
    }
}

void ApplyLayout() {
    const WindowHandle mainWindow = FindWindowNamed(mainWindowName);
    const float widthRatio = LayoutRatio(ClientWidth(mainWindow), DesignClientSize->right);
    const float heightRatio = LayoutRatio(ClientHeight(mainWindow), DesignClientSize->bottom);
    const std::size_t n = childWindowList->size();
    for (std::size_t k = 0; k < n; ++k) {
        const ChildLayout& record = *ListAt(*childLayoutList, k);
        const ScaledRect place = ScaleChildLayout(record, widthRatio, heightRatio);
        MoveWindow(record.handle, place.x, place.y, place.width, place.height, true);
    }
}
