#pragma once

#include "platform/window_system.h"
#include "ui/image.h"
#include "ui/shared_array.h"

#include <QString>

#include <cstdint>

using Rect = platform::Rect;

// What a point of a window is for. The values are the conventional hit-test codes, small
// enough for a widget's 7-bit field.
namespace HitCode {
constexpr int Nowhere = 0;
constexpr int Client = 1;
constexpr int Caption = 2;
constexpr int Left = 10;
constexpr int Right = 11;
constexpr int Top = 12;
constexpr int TopLeft = 13;
constexpr int TopRight = 14;
constexpr int Bottom = 15;
constexpr int BottomLeft = 16;
constexpr int BottomRight = 17;
constexpr int Border = 18;
} // namespace HitCode

// How the window presents itself; bit 3 is unused.
enum WindowStyleFlag : std::uint32_t {
    Frameless = 1u << 0,     // no frame or title bar; the hit test answers edges and captions
    Resizable = 1u << 1,     // edges resize (else they answer Border)
    TaskbarButton = 1u << 2, // listed in the task bar
    Topmost = 1u << 4,       // kept above other windows
    Layered = 1u << 5,       // per-pixel alpha frames
};
using WindowStyleFlags = std::uint32_t;

// A change of the window's place or size, after the window tracked it.
struct GeometryChange {
    Rect rect;            // the new logical rectangle
    bool resized = false; // its size differs from before
};

// Receives a window's events on the window thread. Every operation answers whether it
// handled the event; what is not handled gets the window's default.
class WindowHandler {
public:
    virtual ~WindowHandler() = default;
    virtual bool mouse(const platform::MouseEvent &) { return false; }
    // Called after the rectangle was tracked; nothing is done by default.
    virtual void moveAndSize(const GeometryChange &) {}
    // Client coordinates; *code receives a HitCode. Unhandled: the default hit test.
    virtual bool hitTest(int, int, int *) { return false; }
    virtual bool timer(int) { return false; }
    // n, wParam and lParam as given to NativeWindow::post.
    virtual bool userMessage(int, std::uintptr_t, std::intptr_t) { return false; }
    // The user asked to close the window. Unhandled: the window stays and nothing happens
    // (the window offers no way to end its job).
    virtual bool close() { return false; }
};

// One top-level window of the window system, routed to a WindowHandler. It keeps a logical
// rectangle (the client area in screen coordinates) and style flags, both settable before the
// window exists; they take effect when it is created. Window thread only, except post().
class NativeWindow final : public platform::WindowEvents {
public:
    // handler must outlive the window. No system window exists until create().
    NativeWindow(platform::WindowSystem &system, WindowHandler *handler);
    // Destroys the system window too, so no event reaches a handler that is gone.
    ~NativeWindow() override;
    NativeWindow(const NativeWindow &) = delete;
    NativeWindow &operator=(const NativeWindow &) = delete;

    // Creates the hidden window at the logical rectangle, with the style flags and the
    // program's icon, then reads its geometry back. Only the first call does anything; a
    // failed creation leaves no window and every later call on it does nothing.
    void create();
    bool exists() const { return m_window != 0; }
    platform::WindowId id() const { return m_window; }
    platform::WindowSystem &system() const { return m_system; }

    Rect rect() const { return m_rect; }
    int width() const { return m_rect.width(); }
    int height() const { return m_rect.height(); }
    // Nothing when rect equals the current one; otherwise stores it and moves the window.
    void setRect(const Rect &rect);
    // Centres the window in the primary work area: x = (area width − window width) / 2,
    // y likewise, truncated; the area's own left and top are not added.
    void centreInWorkArea();

    WindowStyleFlags styleFlags() const { return m_flags; }
    void applyStyleFlags(WindowStyleFlags flags);

    void setCaptionRects(const SharedArray<Rect> &rects) { m_captionRects = rects; }

    // The hit test handlers inherit: HitCode::Client unless frameless; then edges (by
    // 1 pixel) answer their codes when resizable, else Border; inside, Caption on a
    // caption rectangle, else Client.
    int defaultHitTest(int x, int y) const;

    void show(platform::ShowCommand command);
    void setTitle(const QString &title);
    void setTimer(int id, int periodMs);
    void killTimer(int id);
    // Any thread. False when there is no window (the message is not queued).
    bool post(int n, std::uintptr_t wParam, std::intptr_t lParam);
    // Shows a frame (see WindowSystem::pushFrame).
    void pushFrame(const Image &frame);

    // platform::WindowEvents
    void mouseEvent(const platform::MouseEvent &event) override;
    platform::HitArea hitTest(int x, int y) override;
    void geometryChanged(const Rect &client) override;
    void timer(int id) override;
    void userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam) override;
    void closeRequested() override;

    static platform::HitArea hitArea(int code);

private:
    // Stores rect without moving the window; tells the handler when anything changed.
    void track(const Rect &rect);
    platform::WindowStyle style() const;

    platform::WindowSystem &m_system;
    WindowHandler *m_handler;
    platform::WindowId m_window = 0;
    bool m_createAttempted = false;
    Rect m_rect{50, 50, 150, 150};
    SharedArray<Rect> m_captionRects;
    WindowStyleFlags m_flags = 0;
};

// The program's window icon (empty when the resources hold none).
Image programIcon();
