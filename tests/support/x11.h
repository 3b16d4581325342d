// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Driving windows of another process on an X display the way a user and a window manager would:
// finding a top-level window by its caption, reading where it is, asking it to close, typing,
// clicking and taking screenshots. Input goes through the XTEST extension, so the program sees
// ordinary (not synthetic) events, sent to whichever window has the input focus.
//
//   XSession x(display.name());
//   std::optional<XWindow> window = x.findWindow("Ostrevan专版-Talvimer2.0", 30s);
//   x.focus(*window);
//   x.pressKey("Escape");
//
// Xlib is not included here, so its macros (None, Bool, Status ...) stay out of the tests.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _XDisplay;

namespace testsupport {

// An X window ID (Xlib's Window).
using XWindow = unsigned long;

// A window's rectangle in root-window (screen) coordinates, border excluded.
struct WindowGeometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const WindowGeometry&) const = default;
};

class XSession {
public:
    // Opens a connection to `displayName` (":3"). Throws std::runtime_error if it cannot.
    explicit XSession(const std::string& displayName);
    ~XSession();

    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    _XDisplay* native() const { return m_display; }
    // False once the connection to the server has been lost; every call is then a no-op that
    // reports failure.
    bool connected() const { return !m_lost; }
    // Whether the server offers XTEST; without it pressKey, typeText and click return false.
    bool hasXTest() const { return m_hasXTest; }

    // The caption of `window` as UTF-8: _NET_WM_NAME, else WM_NAME; nullopt if it has neither.
    std::optional<std::string> caption(XWindow window);

    // Every window anywhere in the tree whose caption is exactly `caption`, mapped or not.
    std::vector<XWindow> windowsWithCaption(std::string_view caption);

    // Waits until a viewable window has exactly this caption ("Ostrevan专版-Talvimer2.0" matches
    // neither "Ostrevan专版" nor "Ostrevan专版-Talvimer2.0 "); nullopt after `timeout`.
    std::optional<XWindow> findWindow(std::string_view caption, std::chrono::milliseconds timeout);

    // Waits until `window` is destroyed or no longer viewable; false after `timeout`.
    bool waitUntilGone(XWindow window, std::chrono::milliseconds timeout);

    // nullopt if the window does not exist (any more).
    std::optional<WindowGeometry> geometry(XWindow window);

    // Sends what a window manager's close box sends: a WM_PROTOCOLS client message carrying
    // WM_DELETE_WINDOW. False, and nothing sent, if the window does not list WM_DELETE_WINDOW in
    // its WM_PROTOCOLS.
    bool requestClose(XWindow window);

    // Raises the window and gives it the input focus (also asking a window manager, if one runs,
    // through _NET_ACTIVE_WINDOW).
    void focus(XWindow window);

    // Presses and releases one key, with modifiers in xdotool's notation: "Escape", "Return",
    // "Tab", "shift+Tab", "alt+F4", "ctrl+a", "F1". Key names are X keysym names; "Enter" and
    // "Esc" are accepted too. False if a name is unknown or the keyboard has no such key.
    bool pressKey(std::string_view keys);

    // Types printable ASCII, '\n' (Return) and '\t' (Tab), using Shift where the keyboard
    // needs it. False, before typing anything, for any other character.
    bool typeText(std::string_view text);

    // Moves the pointer to (x, y) inside `window` (its top-left is 0, 0) and clicks `button`
    // (1 left, 2 middle, 3 right).
    bool click(XWindow window, int x, int y, int button = 1);

    // Writes the whole screen, or the part of it that `window` covers, as an RGB PNG file.
    bool screenshot(const std::string& pngPath);
    bool screenshot(XWindow window, const std::string& pngPath);

private:
    _XDisplay* m_display = nullptr;
    bool m_hasXTest = false;
    bool m_lost = false;
};

}  // namespace testsupport
