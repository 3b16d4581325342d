// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Windows built from data. A description says what the window and its controls are; the
// toolkit turns it into widgets, raises its events and answers the queries below. No GUI
// types appear here, so the program's own code stays free of them.
#pragma once

#include "toolkit/native.h"

#include <span>
#include <string>
#include <string_view>

using Text = std::string;  // bytes in code page 936

enum class ControlKind { StatusBar, WebView, EditBox, PushButton };

struct StatusPartDescription {
    int width = 0;
    const char* text = "";  // UTF-8
};

struct ControlDescription {
    const char* name = "";  // the control's object name
    ControlKind kind = ControlKind::EditBox;
    int left = 0;  // in the parent's client area
    int top = 0;
    int width = 0;
    int height = 0;
    bool enabled = true;
    bool takesFocus = true;
    const char* text = "";            // caption of a button, initial text of an edit box (UTF-8)
    int textSizeLevel = 2;            // web views: 0 smallest to 4 largest
    const char* startPage = nullptr;  // web views: loaded once at creation; nullptr for none
    std::span<const StatusPartDescription> parts = {};  // status bars
    const char* description = "";  // what the control does, for screen readers (UTF-8)
};

enum class WindowEvent { Created, PositionChanged, SizeChanged, Clicked };

struct EventBinding {
    const char* source = "";  // object name of the window or of one of its controls
    WindowEvent event = WindowEvent::Clicked;
    void (*handler)() = nullptr;
};

struct WindowDescription {
    const char* name = "";
    const char* caption = "";      // UTF-8
    const char* description = "";  // for screen readers (UTF-8)
    const char* icon = nullptr;    // resource path of the window's icon; nullptr for none
    int width = 0;                 // outer size; see CreateWindowFromDescription for the frame
    int height = 0;
    bool escapeCloses = false;
    std::span<const ControlDescription> controls = {};  // in stacking order, top first
    std::span<const EventBinding> bindings = {};
};

// Where a window of the given outer size is centred on a screen: each quotient truncated
// toward zero, so a screen smaller than the window gives negative coordinates.
// (1920, 1080, 934, 588) -> (493, 246); (800, 600, 934, 588) -> (-67, 6).
WindowPoint CentredOrigin(int screenWidth, int screenHeight, int width, int height);

// Creates the window hidden and centred on the whole primary screen, creates its controls in
// stacking order, raises created, position changed and size changed, then shows and activates
// it with the focus on the first control of its focus cycle. The description's outer size is
// given to the client area: where a window manager draws a frame, the frame lies outside it.
// Returns the window's handle, or 0 when a handler destroyed it during creation.
WindowHandle CreateWindowFromDescription(const WindowDescription& description);

// The handle of the toolkit-made window or control with this object name, or 0.
WindowHandle FindWindowNamed(std::string_view name);

int ClientWidth(WindowHandle window);  // 0 while the window is minimised
int ClientHeight(WindowHandle window);

// The current text of an edit box or caption of a button, in code page 936.
Text GetWindowText(WindowHandle control);

// Sets the text of one part of a status bar, counted from 0; an index out of range changes nothing.
void SetStatusPartText(WindowHandle statusBar, int index, const Text& text);

// Starts an ordinary GET navigation of a web view's main frame to url, which reaches the wire
// byte for byte (percent escapes stay as they are). Returns at once; the view loads by itself.
void NavigateView(WindowHandle view, std::string_view url);
