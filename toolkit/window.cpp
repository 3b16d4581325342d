// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/window.h"

#include "toolkit/handles.h"
#include "toolkit/text.h"
#include "toolkit/widgets.h"

#include <QApplication>
#include <QIcon>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

#include <limits>
#include <vector>

namespace {

QWidget* CreateControl(QWidget* window, const ControlDescription& control) {
    QWidget* widget = nullptr;
    switch (control.kind) {
        case ControlKind::StatusBar:
            widget = new StatusBar(window, control.parts, control.height);
            break;
        case ControlKind::WebView:
            widget = new WebView(window, control.textSizeLevel);
            break;
        case ControlKind::EditBox: {
            auto* edit = new QLineEdit(QString::fromUtf8(control.text), window);
            edit->setMaxLength(std::numeric_limits<int>::max());
            widget = edit;
            break;
        }
        case ControlKind::PushButton: {
            auto* button = new QPushButton(QString::fromUtf8(control.text), window);
            // Enter must never press a button.
            button->setAutoDefault(false);
            button->setDefault(false);
            widget = button;
            break;
        }
    }
    widget->setObjectName(QString::fromUtf8(control.name));
    widget->setAccessibleName(QString::fromUtf8(control.name));
    widget->setAccessibleDescription(QString::fromUtf8(control.description));
    widget->setGeometry(control.left, control.top, control.width, control.height);
    widget->setEnabled(control.enabled);
    // A web view hands its focus to its page; it must still count as a stop of the cycle.
    widget->setFocusPolicy(control.takesFocus ? Qt::StrongFocus : Qt::NoFocus);
    return widget;
}

void BindClicks(QPushButton* button, std::span<const EventBinding> bindings) {
    const QByteArray name = button->objectName().toUtf8();
    for (const auto& binding : bindings) {
        if (binding.event != WindowEvent::Clicked || !binding.handler || name != binding.source) {
            continue;
        }
        QObject::connect(button, &QPushButton::clicked, button,
                         [handler = binding.handler] { handler(); });
    }
}

bool TakesFocus(const ControlDescription& control) {
    return control.takesFocus && control.enabled;
}

}  // namespace

WindowPoint CentredOrigin(int screenWidth, int screenHeight, int width, int height) {
    return {(screenWidth - width) / 2, (screenHeight - height) / 2};
}

WindowHandle CreateWindowFromDescription(const WindowDescription& description) {
    QPointer<ToolkitWindow> window = new ToolkitWindow(description);
    window->setObjectName(QString::fromUtf8(description.name));
    window->setWindowTitle(QString::fromUtf8(description.caption));
    window->setAccessibleName(QString::fromUtf8(description.caption));
    window->setAccessibleDescription(QString::fromUtf8(description.description));
    if (description.icon) {
        // The application's own icon, so the task bar and window list show it too.
        const QIcon icon(QString::fromUtf8(description.icon));
        QApplication::setWindowIcon(icon);
    }
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setBackgroundRole(QPalette::Button);
    window->setAutoFillBackground(true);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const WindowPoint origin =
        CentredOrigin(screen.width(), screen.height(), description.width, description.height);
    window->move(screen.left() + origin.x, screen.top() + origin.y);
    window->resize(description.width, description.height);
    const WindowHandle handle = HandleOf(window);

    std::vector<QWidget*> controls;
    for (const auto& control : description.controls) {
        controls.push_back(CreateControl(window, control));
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const auto& control = description.controls[i];
        if (auto* button = qobject_cast<QPushButton*>(controls[i])) {
            BindClicks(button, description.bindings);
        }
        if (auto* view = qobject_cast<WebView*>(controls[i]); view && control.startPage) {
            view->navigate(control.startPage);
        }
    }
    // The first control ends on top: raise from the bottom of the table upwards.
    for (auto it = controls.rbegin(); it != controls.rend(); ++it) (*it)->raise();

    // Focus runs against the table order: of equal positions the later control comes first.
    QWidget* firstFocus = nullptr;
    QWidget* previous = nullptr;
    for (std::size_t i = controls.size(); i-- > 0;) {
        if (!TakesFocus(description.controls[i])) continue;
        if (previous) QWidget::setTabOrder(previous, controls[i]);
        if (!firstFocus) firstFocus = controls[i];
        previous = controls[i];
    }
    for (QWidget* control : controls) control->show();

    if (description.escapeCloses) {
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
        QObject::connect(escape, &QShortcut::activated, window, &QWidget::close);
    }

    window->raiseEvent(WindowEvent::Created);
    if (!window) return 0;
    window->raiseEvent(WindowEvent::PositionChanged);
    if (!window) return 0;
    window->raiseEvent(WindowEvent::SizeChanged);
    if (!window) return 0;
    window->startReportingSizeChanges();
    if (firstFocus) firstFocus->setFocus(Qt::OtherFocusReason);
    window->show();
    window->activateWindow();
    return handle;
}

WindowHandle FindWindowNamed(std::string_view name) {
    const QString wanted = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (!qobject_cast<ToolkitWindow*>(top)) continue;
        if (top->objectName() == wanted) return HandleOf(top);
        if (auto* child = top->findChild<QWidget*>(wanted)) return HandleOf(child);
    }
    return 0;
}

namespace {

// A minimised top-level window has no client area to speak of.
QSize ClientSize(WindowHandle window) {
    QWidget* widget = WidgetOf(window);
    if (auto* top = qobject_cast<ToolkitWindow*>(widget)) return top->clientSize();
    return widget ? widget->size() : QSize(0, 0);
}

}  // namespace

int ClientWidth(WindowHandle window) { return ClientSize(window).width(); }

int ClientHeight(WindowHandle window) { return ClientSize(window).height(); }

Text GetWindowText(WindowHandle control) {
    QWidget* widget = WidgetOf(control);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return ToText(edit->text());
    if (auto* button = qobject_cast<QPushButton*>(widget)) return ToText(button->text());
    if (widget && widget->isWindow()) return ToText(widget->windowTitle());
    return {};
}

void SetStatusPartText(WindowHandle statusBar, int index, const Text& text) {
    if (auto* bar = qobject_cast<StatusBar*>(WidgetOf(statusBar))) {
        bar->setPartText(index, FromText(text));
    }
}

void NavigateView(WindowHandle view, std::string_view url) {
    if (auto* web = qobject_cast<WebView*>(WidgetOf(view))) web->navigate(std::string(url));
}
