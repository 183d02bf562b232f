#pragma once

#include <QString>

#include <cstdint>
#include <vector>

// What a test can see of a window through its own connection to the X server named by
// DISPLAY (Xlib stays in x11_probe.cpp: its macros break Qt and gtest headers).
namespace x11probe {

struct WindowInfo {
    bool exists = false;
    bool viewable = false;
    int x = 0; // client area's top-left on the root window
    int y = 0;
    int width = 0;
    int height = 0;
    int depth = 0;
    QString title;     // _NET_WM_NAME
    int iconWidth = 0; // from _NET_WM_ICON
    int iconHeight = 0;
};

WindowInfo inspect(std::uintptr_t window);

// The window's content as top-down 0xAARRGGBB values (alpha as the server keeps it); empty
// when it cannot be read (for instance while the window is unmapped).
std::vector<std::uint32_t> grab(std::uintptr_t window, int width, int height);

enum class Pointer { Press, Motion, Release };

// Sends the window a synthetic pointer event of the left button at client point (x, y), the
// window's client area being at (left, top) on the root window.
void sendPointer(std::uintptr_t window, Pointer kind, int x, int y, int left, int top);

// Asks the window to close as a window manager's close does (WM_DELETE_WINDOW).
void askToClose(std::uintptr_t window);

// The children of the root window whose _NET_WM_NAME is title.
std::vector<std::uintptr_t> windowsTitled(const QString &title);

// Sets a CARDINAL property of the root window (as a window manager would), values in order.
void setRootCardinals(const char *property, const std::vector<long> &values);

} // namespace x11probe
