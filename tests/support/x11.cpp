// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "support/x11.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollInterval{20};

// Xlib's default handler ends the process on any protocol error, and a window of the program
// under test may vanish between two requests of ours. The calls we make report failure through
// their return values instead, which is all we need.
int ignoreXErrors(Display*, XErrorEvent*) {
    return 0;
}

// The default I/O error handler prints a "fatal IO error" line; the session reports the loss
// through connected() instead.
int quietIOError(Display*) {
    return 0;
}

void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(ignoreXErrors);
        XSetIOErrorHandler(quietIOError);
    });
}

Atom atom(Display* display, const char* name) {
    return XInternAtom(display, name, False);
}

std::string latin1ToUtf8(std::string_view latin1) {
    std::string utf8;
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

std::optional<std::string> textProperty(Display* display, Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int rc = XGetWindowProperty(display, window, property, 0, 1L << 20, False,
                                      AnyPropertyType, &type, &format, &count, &after, &data);
    if (rc != Success || type == None || format != 8 || !data) {
        if (data) XFree(data);
        return std::nullopt;
    }
    std::string bytes(reinterpret_cast<const char*>(data), count);
    std::optional<std::string> result;
    if (type == atom(display, "UTF8_STRING")) {
        result = bytes;
    } else if (type == XA_STRING) {
        result = latin1ToUtf8(bytes);
    } else {
        // COMPOUND_TEXT and other encodings: let Xlib convert.
        XTextProperty text{data, type, format, count};
        char** list = nullptr;
        int items = 0;
        if (Xutf8TextPropertyToTextList(display, &text, &list, &items) >= Success && list) {
            std::string joined;
            for (int i = 0; i < items; ++i) joined += list[i];
            result = joined;
            XFreeStringList(list);
        }
    }
    XFree(data);
    return result;
}

void collectTree(Display* display, Window window, std::vector<Window>& out) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return;
    std::vector<Window> list(children, children + count);
    if (children) XFree(children);
    for (Window child : list) {
        out.push_back(child);
        collectTree(display, child, out);
    }
}

bool viewable(Display* display, Window window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

struct KeyStroke {
    KeyCode code = 0;
    bool shift = false;
};

std::optional<KeyStroke> strokeFor(Display* display, KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(display, keysym);
    if (code == 0) return std::nullopt;
    const bool shifted = XkbKeycodeToKeysym(display, code, 0, 0) != keysym &&
                         XkbKeycodeToKeysym(display, code, 0, 1) == keysym;
    return KeyStroke{code, shifted};
}

std::optional<KeySym> modifierKeysym(std::string_view name) {
    if (name == "shift") return XK_Shift_L;
    if (name == "ctrl" || name == "control") return XK_Control_L;
    if (name == "alt") return XK_Alt_L;
    if (name == "super") return XK_Super_L;
    return std::nullopt;
}

KeySym keysymFor(std::string_view name) {
    if (name == "Enter") name = "Return";
    if (name == "Esc") name = "Escape";
    return XStringToKeysym(std::string(name).c_str());
}

// Presses the strokes in order, then releases them in reverse, as a user holding modifiers does.
void strike(Display* display, const std::vector<KeyCode>& codes) {
    for (KeyCode code : codes) XTestFakeKeyEvent(display, code, True, CurrentTime);
    for (auto it = codes.rbegin(); it != codes.rend(); ++it)
        XTestFakeKeyEvent(display, *it, False, CurrentTime);
}

// --- PNG, written without a library: stored (uncompressed) deflate blocks are valid zlib data.

std::uint32_t crc32(std::string_view bytes, std::uint32_t crc = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void appendBigEndian32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void appendChunk(std::string& out, std::string_view type, std::string_view data) {
    appendBigEndian32(out, static_cast<std::uint32_t>(data.size()));
    std::string body(type);
    body += data;
    out += body;
    appendBigEndian32(out, crc32(body));
}

std::string zlibStored(std::string_view raw) {
    std::string out = "\x78\x01";
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min<std::size_t>(65535, raw.size() - offset);
        const bool last = offset + length == raw.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(length & 0xFF);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(~length & 0xFF);
        out += static_cast<char>((~length >> 8) & 0xFF);
        out.append(raw.substr(offset, length));
        offset += length;
    } while (offset < raw.size());
    appendBigEndian32(out, (b << 16) | a);
    return out;
}

// One colour channel of a pixel, scaled to 8 bits.
unsigned char channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const unsigned long maximum = mask >> shift;
    const unsigned long value = (pixel & mask) >> shift;
    return static_cast<unsigned char>(value * 255 / maximum);
}

bool writePng(XImage* image, const std::string& path, const Visual* visual) {
    const unsigned long red = image->red_mask ? image->red_mask : visual->red_mask;
    const unsigned long green = image->green_mask ? image->green_mask : visual->green_mask;
    const unsigned long blue = image->blue_mask ? image->blue_mask : visual->blue_mask;
    const int width = image->width;
    const int height = image->height;
    std::string raw;
    raw.reserve(static_cast<std::size_t>(height) * (1 + 3 * static_cast<std::size_t>(width)));
    for (int y = 0; y < height; ++y) {
        raw += '\0';  // filter type None
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            raw += static_cast<char>(channel(pixel, red));
            raw += static_cast<char>(channel(pixel, green));
            raw += static_cast<char>(channel(pixel, blue));
        }
    }
    std::string header;
    appendBigEndian32(header, static_cast<std::uint32_t>(width));
    appendBigEndian32(header, static_cast<std::uint32_t>(height));
    // 8 bits per channel, RGB, deflate, no filter, no interlace; append with a length because
    // the bytes hold NULs.
    header.append("\x08\x02\x00\x00\x00", 5);
    std::string png = "\x89PNG\r\n\x1a\n";
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", zlibStored(raw));
    appendChunk(png, "IEND", {});
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(png.data(), static_cast<std::streamsize>(png.size()));
    return static_cast<bool>(file);
}

bool captureToPng(Display* display, int x, int y, int width, int height, const std::string& path) {
    const int screen = DefaultScreen(display);
    const int right = std::min(x + width, DisplayWidth(display, screen));
    const int bottom = std::min(y + height, DisplayHeight(display, screen));
    x = std::max(x, 0);
    y = std::max(y, 0);
    if (right <= x || bottom <= y) return false;
    XImage* image =
        XGetImage(display, RootWindow(display, screen), x, y, static_cast<unsigned>(right - x),
                  static_cast<unsigned>(bottom - y), AllPlanes, ZPixmap);
    if (!image) return false;
    const bool written = writePng(image, path, DefaultVisual(display, screen));
    XDestroyImage(image);
    return written;
}

}  // namespace

XSession::XSession(const std::string& displayName) {
    installErrorHandler();
    m_display = XOpenDisplay(displayName.c_str());
    if (!m_display) throw std::runtime_error("cannot open X display " + displayName);
    // Xlib would end the whole test binary when the server goes away (a test that stops its
    // Xvfb first, or a crashed Xvfb); this session just stops working instead.
    XSetIOErrorExitHandler(
        m_display, [](Display*, void* lost) { *static_cast<bool*>(lost) = true; }, &m_lost);
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    m_hasXTest = XTestQueryExtension(m_display, &event, &error, &major, &minor);
}

XSession::~XSession() {
    if (m_display) XCloseDisplay(m_display);
}

std::optional<std::string> XSession::caption(XWindow window) {
    if (m_lost) return std::nullopt;
    if (auto name = textProperty(m_display, window, atom(m_display, "_NET_WM_NAME"))) return name;
    return textProperty(m_display, window, XA_WM_NAME);
}

std::vector<XWindow> XSession::windowsWithCaption(std::string_view wanted) {
    if (m_lost) return {};
    std::vector<Window> all;
    collectTree(m_display, DefaultRootWindow(m_display), all);
    std::vector<XWindow> matches;
    for (Window window : all) {
        if (caption(window) == wanted) matches.push_back(window);
    }
    return matches;
}

std::optional<XWindow> XSession::findWindow(std::string_view wanted, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (XWindow window : windowsWithCaption(wanted)) {
            if (viewable(m_display, window)) return window;
        }
        if (m_lost || Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool XSession::waitUntilGone(XWindow window, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (m_lost || !viewable(m_display, window)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

std::optional<WindowGeometry> XSession::geometry(XWindow window) {
    if (m_lost) return std::nullopt;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(m_display, window, &attributes)) return std::nullopt;
    int x = 0;
    int y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(m_display, window, attributes.root, 0, 0, &x, &y, &child))
        return std::nullopt;
    return WindowGeometry{x, y, attributes.width, attributes.height};
}

bool XSession::requestClose(XWindow window) {
    if (m_lost) return false;
    const Atom deleteWindow = atom(m_display, "WM_DELETE_WINDOW");
    Atom* protocols = nullptr;
    int count = 0;
    bool takesPart = false;
    if (XGetWMProtocols(m_display, window, &protocols, &count)) {
        for (int i = 0; i < count; ++i) takesPart = takesPart || protocols[i] == deleteWindow;
        XFree(protocols);
    }
    if (!takesPart) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = atom(m_display, "WM_PROTOCOLS");
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(deleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(m_display, window, False, NoEventMask, &event);
    XSync(m_display, False);
    return sent != 0;
}

void XSession::focus(XWindow window) {
    if (m_lost) return;
    XRaiseWindow(m_display, window);
    XSetInputFocus(m_display, window, RevertToParent, CurrentTime);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = atom(m_display, "_NET_ACTIVE_WINDOW");
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // the request comes from a pager-like tool, not the program
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, DefaultRootWindow(m_display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(m_display, False);
}

bool XSession::pressKey(std::string_view keys) {
    if (m_lost || !m_hasXTest || keys.empty()) return false;
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto plus = keys.find('+', start);
        parts.push_back(keys.substr(start, plus == std::string_view::npos ? plus : plus - start));
        if (plus == std::string_view::npos) break;
        start = plus + 1;
    }
    std::vector<KeyCode> codes;
    bool shiftHeld = false;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const auto keysym = modifierKeysym(parts[i]);
        if (!keysym) return false;
        const auto stroke = strokeFor(m_display, *keysym);
        if (!stroke) return false;
        shiftHeld = shiftHeld || *keysym == XK_Shift_L;
        codes.push_back(stroke->code);
    }
    const KeySym keysym = keysymFor(parts.back());
    if (keysym == NoSymbol) return false;
    const auto stroke = strokeFor(m_display, keysym);
    if (!stroke) return false;
    if (stroke->shift && !shiftHeld) {
        const auto shift = strokeFor(m_display, XK_Shift_L);
        if (!shift) return false;
        codes.push_back(shift->code);
    }
    codes.push_back(stroke->code);
    strike(m_display, codes);
    XSync(m_display, False);
    return true;
}

bool XSession::typeText(std::string_view text) {
    if (m_lost || !m_hasXTest) return false;
    const auto shift = strokeFor(m_display, XK_Shift_L);
    std::vector<std::vector<KeyCode>> strokes;
    for (char c : text) {
        KeySym keysym = NoSymbol;
        if (c == '\n') {
            keysym = XK_Return;
        } else if (c == '\t') {
            keysym = XK_Tab;
        } else if (c >= 0x20 && c <= 0x7E) {
            keysym = static_cast<KeySym>(c);  // Latin-1 keysyms equal the character codes
        } else {
            return false;
        }
        const auto stroke = strokeFor(m_display, keysym);
        if (!stroke || (stroke->shift && !shift)) return false;
        if (stroke->shift) {
            strokes.push_back({shift->code, stroke->code});
        } else {
            strokes.push_back({stroke->code});
        }
    }
    for (const auto& codes : strokes) strike(m_display, codes);
    XSync(m_display, False);
    return true;
}

bool XSession::click(XWindow window, int x, int y, int button) {
    if (m_lost || !m_hasXTest) return false;
    int rootX = 0;
    int rootY = 0;
    Window child = 0;
    if (!XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), x, y, &rootX,
                               &rootY, &child))
        return false;
    XTestFakeMotionEvent(m_display, DefaultScreen(m_display), rootX, rootY, CurrentTime);
    XTestFakeButtonEvent(m_display, static_cast<unsigned>(button), True, CurrentTime);
    XTestFakeButtonEvent(m_display, static_cast<unsigned>(button), False, CurrentTime);
    XSync(m_display, False);
    return true;
}

bool XSession::screenshot(const std::string& pngPath) {
    if (m_lost) return false;
    const int screen = DefaultScreen(m_display);
    return captureToPng(m_display, 0, 0, DisplayWidth(m_display, screen),
                        DisplayHeight(m_display, screen), pngPath);
}

bool XSession::screenshot(XWindow window, const std::string& pngPath) {
    const auto rect = geometry(window);
    if (!rect) return false;
    return captureToPng(m_display, rect->x, rect->y, rect->width, rect->height, pngPath);
}

}  // namespace testsupport
