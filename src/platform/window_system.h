#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The window system: top-level windows that show one finished frame at a time, a message loop
// with posted messages and timers, a modal message box, the work area and text rasterising.
//
// Two backends sit behind WindowSystem: X11 (when DISPLAY names a display that can be opened;
// on Windows the system's own windows) and headless (no display, or KORVEL_HEADLESS=1), which
// composes nothing itself, shows nothing and writes the texts a user would have read to
// standard error. openWindowSystem() is the one place that chooses between them.
//
// Threads: everything but post() and postQuit() must be called on the thread that runs the
// loop (the window thread). post() and postQuit() may be called from any thread and wake the
// loop.
namespace platform {

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool contains(int x, int y) const { return left <= x && x < right && top <= y && y < bottom; }
    bool operator==(const Rect &o) const
    {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
    bool operator!=(const Rect &o) const { return !(*this == o); }
};

// A window of this backend; 0 is no window.
using WindowId = std::uintptr_t;

// (No "None": Xlib defines it as a macro.)
enum class MouseButton { NoButton, Left, Right, Middle };

enum class MouseAction {
    Move,    // the pointer moved over the client area
    Press,   // a button went down in the client area
    Release, // the button of an earlier client press came up, wherever the pointer is
    Leave,   // the pointer left the client area (or moved onto a part that is not client)
};

// Coordinates are client pixels (0, 0 is the top-left of the window's content).
struct MouseEvent {
    MouseAction action = MouseAction::Move;
    MouseButton button = MouseButton::NoButton;
    int x = 0;
    int y = 0;
};

// What a point of a window is for, as answered by the window's hit test. Client points get
// mouse events; a press on Caption drags the window; the edges resize it; Border does nothing.
enum class HitArea {
    Client,
    Caption,
    Border,
    Left,
    Right,
    Top,
    Bottom,
    TopLeft,
    TopRight,
    BottomLeft,
    BottomRight,
};

// How a window presents itself. A backend that cannot change a property after creation
// (the X11 visual of a translucent window) takes it from the style given to createWindow.
struct WindowStyle {
    bool frameless = false;    // no decorations from the window manager
    bool resizable = false;    // the user may resize (edges answer resize hit areas)
    bool taskbarButton = true; // listed in the task bar
    bool topmost = false;      // kept above other windows
    bool translucent = false;  // frames carry per-pixel alpha
};

enum class ShowCommand { Hide, Show, Minimise };

// Called by the backend on the window thread, from inside the loop (or a message box's loop).
class WindowEvents {
public:
    virtual ~WindowEvents() = default;
    virtual void mouseEvent(const MouseEvent &event) = 0;
    // Client coordinates; asked on every press and pointer move.
    virtual HitArea hitTest(int x, int y) = 0;
    // The client rectangle in screen coordinates after the system moved or resized the window.
    virtual void geometryChanged(const Rect &client) = 0;
    virtual void timer(int id) = 0;
    // A message given to post(); n, wParam and lParam unchanged.
    virtual void userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // The user asked the window manager to close the window.
    virtual void closeRequested() = 0;
};

// A line of text as coverage: 0 untouched, 255 fully covered; rows top-down, width bytes each.
struct TextBitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> coverage;
};

enum class TextRendering {
    Antialiased, // coverage 0..255
    Monochrome,  // hinted one-bit glyphs: coverage 0 or 255
};

// Rasterises text in one line with FreeType, using the font fontconfig picks for sans-serif
// text in Chinese, at pixelSize pixels per em (on Windows with GDI, in the face of the
// system's default GUI font at that size). The height is the font's line height (ascender
// minus descender) even for an empty text, whose width is 0. Missing font: an empty bitmap.
// Glyphs that would start at or past maxTextWidth pixels are left out, so the bitmap is at most
// that wide (plus the last glyph's overhang, which is cut): texts can come from the network.
// Thread-safe.
TextBitmap rasteriseText(const QString &text, int pixelSize,
                         TextRendering rendering = TextRendering::Antialiased);

// The pixel size of the program's default user-interface font.
constexpr int defaultFontPixelSize = 12;

// The widest line rasteriseText draws, in pixels: several screens wide, far more than any of the
// program's windows can show.
constexpr int maxTextWidth = 8192;

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // Creates a hidden window whose client area is client (screen coordinates). events must
    // outlive the window; it gets nothing until the loop runs. Returns 0 on failure.
    virtual WindowId createWindow(WindowEvents *events, const Rect &client, const WindowStyle &style) = 0;
    // Destroys the window; queued messages and timers for it are dropped.
    virtual void destroyWindow(WindowId window) = 0;
    virtual void setStyle(WindowId window, const WindowStyle &style) = 0;
    virtual void setTitle(WindowId window, const QString &title) = 0;
    // argb: width × height pixels 0xAARRGGBB, not premultiplied, rows top-down.
    virtual void setIcon(WindowId window, int width, int height, const std::uint32_t *argb) = 0;
    virtual void show(WindowId window, ShowCommand command) = 0;
    virtual bool isVisible(WindowId window) const = 0;
    // Moves and resizes the client area (screen coordinates). The backend's idea of the
    // geometry changes at once; geometryChanged follows only for changes the system makes.
    virtual void move(WindowId window, const Rect &client) = 0;
    // The client rectangle in screen coordinates; an empty rectangle for no window.
    virtual Rect geometry(WindowId window) const = 0;
    // Shows one frame: width × height pixels, bytes B, G, R, A, colour premultiplied by alpha,
    // rows bottom-up (memory row 0 is the lowest row on screen). Copied before returning.
    virtual void pushFrame(WindowId window, const std::uint8_t *pixels, int width, int height) = 0;
    // The text of the window's status line. A backend that shows frames has already shown it
    // (it is part of the frame) and does nothing; headless writes it to standard error.
    virtual void announceStatus(WindowId window, const QString &text) = 0;
    // The primary monitor's work area in screen coordinates.
    virtual Rect workArea() const = 0;

    // Timers fire on the window thread, at the earliest after periodMs, until killed.
    // Setting an id again restarts it with the new period.
    virtual void setTimer(WindowId window, int id, int periodMs) = 0;
    virtual void killTimer(WindowId window, int id) = 0;

    // Any thread. Queues a message for the window and wakes the loop. Messages for one
    // window arrive in the order they were posted. Returns false when the window does not
    // exist (the caller then still owns whatever lParam points to).
    virtual bool post(WindowId window, int n, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // Any thread. Makes the running loop (and any message box inside it) return code.
    virtual void postQuit(int code) = 0;
    // Runs the loop until postQuit and returns the quit code; the quit request is then
    // cleared. (Xlib ends the process itself when the connection to the display is lost.)
    virtual int runLoop() = 0;

    // Shows text with an OK button, modal for owner (0 for none), and returns when the user
    // dismissed it or a quit was posted meanwhile. While it is open, posted messages and
    // timers keep running (a message may open another box). Headless: writes the text as one
    // line to standard error and returns at once, as if OK had been pressed.
    virtual void messageBox(WindowId owner, const QString &text) = 0;

    // Whether frames reach a screen.
    virtual bool isHeadless() const = 0;
};

enum class BackendChoice { Automatic, Headless, X11 };

// Automatic: headless when KORVEL_HEADLESS is "1" or DISPLAY is unset or cannot be opened,
// otherwise X11. X11 forced: null when the display cannot be opened.
std::unique_ptr<WindowSystem> openWindowSystem(BackendChoice choice = BackendChoice::Automatic);

// Backends, for openWindowSystem (and tests that want one in particular).
std::unique_ptr<WindowSystem> openHeadlessWindowSystem();
std::unique_ptr<WindowSystem> openX11WindowSystem(); // null when no display can be opened
// Windows only: windows of the class "TarnWindow", the layered ones drawn with
// UpdateLayeredWindow. (On Windows, Automatic picks it unless KORVEL_HEADLESS is "1", and X11
// gives null.)
std::unique_ptr<WindowSystem> openNativeWindowSystem();

} // namespace platform
