// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/native.h"

#include "toolkit/handles.h"

#include <QWidget>

namespace {

// Children from the top of the stacking order down (Qt keeps the topmost last), each followed
// by its own descendants.
bool Walk(QWidget* parent, EnumChildProc proc, std::intptr_t value) {
    const QObjectList children = parent->children();
    for (auto it = children.crbegin(); it != children.crend(); ++it) {
        auto* child = qobject_cast<QWidget*>(*it);
        if (!child || child->isWindow()) continue;
        if (proc(HandleOf(child), value) == 0) return false;
        if (!Walk(child, proc, value)) return false;
    }
    return true;
}

}  // namespace

bool EnumChildWindows(WindowHandle parent, EnumChildProc proc, std::intptr_t value) {
    QWidget* widget = WidgetOf(parent);
    if (!widget || !proc) return false;
    Walk(widget, proc, value);
    return true;
}

bool GetWindowRect(WindowHandle window, WindowRect* rect) {
    QWidget* widget = WidgetOf(window);
    if (!widget || !rect) return false;
    const QRect outer = widget->isWindow()
                            ? widget->frameGeometry()
                            : QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    *rect = {outer.left(), outer.top(), outer.left() + outer.width(), outer.top() + outer.height()};
    return true;
}

bool MoveWindow(WindowHandle window, int x, int y, int width, int height, bool repaint) {
    QWidget* widget = WidgetOf(window);
    if (!widget) return false;
    widget->setGeometry(x, y, width < 0 ? 0 : width, height < 0 ? 0 : height);
    if (repaint) widget->update();
    return true;
}

WindowHandle GetParent(WindowHandle window) {
    QWidget* widget = WidgetOf(window);
    if (!widget || widget->isWindow()) return 0;
    return HandleOf(widget->parentWidget());
}

bool ScreenToClient(WindowHandle window, WindowPoint* point) {
    QWidget* widget = WidgetOf(window);
    if (!widget || !point) return false;
    const QPoint local = widget->mapFromGlobal(QPoint(point->x, point->y));
    *point = {local.x(), local.y()};
    return true;
}
