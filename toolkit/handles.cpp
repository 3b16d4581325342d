// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/handles.h"

#include <QPointer>
#include <QVariant>
#include <QWidget>

#include <vector>

namespace {

constexpr char handleProperty[] = "talvimerHandle";

// Guarded pointers, so a handle outlives its widget harmlessly.
std::vector<QPointer<QWidget>>& table() {
    static std::vector<QPointer<QWidget>> widgets;
    return widgets;
}

}  // namespace

WindowHandle HandleOf(QWidget* widget) {
    if (!widget) return 0;
    const QVariant known = widget->property(handleProperty);
    if (known.isValid()) return known.value<WindowHandle>();
    table().emplace_back(widget);
    const auto handle = static_cast<WindowHandle>(table().size());
    widget->setProperty(handleProperty, QVariant::fromValue(handle));
    return handle;
}

QWidget* WidgetOf(WindowHandle handle) {
    if (handle == 0 || handle > table().size()) return nullptr;
    return table()[handle - 1].data();
}
