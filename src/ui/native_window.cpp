#include "ui/native_window.h"

#include "ui/resources.h"

#include <vector>

NativeWindow::NativeWindow(platform::WindowSystem &system, WindowHandler *handler)
    : m_system(system), m_handler(handler)
{
}

NativeWindow::~NativeWindow()
{
    if (m_window)
        m_system.destroyWindow(m_window);
}

platform::WindowStyle NativeWindow::style() const
{
    platform::WindowStyle style;
    style.frameless = m_flags & Frameless;
    style.resizable = m_flags & Resizable;
    style.taskbarButton = m_flags & TaskbarButton;
    style.topmost = m_flags & Topmost;
    style.translucent = m_flags & Layered;
    return style;
}

void NativeWindow::create()
{
    if (m_createAttempted)
        return;
    m_createAttempted = true;
    m_window = m_system.createWindow(this, m_rect, style());
    if (!m_window)
        return;

    const Image icon = programIcon();
    if (icon.hasPixels()) {
        // The window system wants straight (not premultiplied) colour, rows top-down.
        std::vector<std::uint32_t> argb(static_cast<size_t>(icon.width()) * icon.height());
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x) {
                const std::uint32_t p = icon.pixelAt(x, y);
                const std::uint32_t a = p >> 24;
                std::uint32_t straight = 0;
                if (a > 0) {
                    auto channel = [&](int shift) {
                        return std::min<std::uint32_t>(255, ((p >> shift) & 0xff) * 255 / a);
                    };
                    straight = a << 24 | channel(16) << 16 | channel(8) << 8 | channel(0);
                }
                argb[static_cast<size_t>(y) * icon.width() + x] = straight;
            }
        m_system.setIcon(m_window, icon.width(), icon.height(), argb.data());
    }
    // The system may have adjusted the geometry; what it gave is the logical rectangle now,
    // and the handler hears of the size the window starts with.
    const Rect actual = m_system.geometry(m_window);
    m_rect = actual;
    if (m_handler)
        m_handler->moveAndSize(GeometryChange{m_rect, true});
}

void NativeWindow::setRect(const Rect &rect)
{
    if (rect == m_rect)
        return;
    const bool resized = rect.width() != m_rect.width() || rect.height() != m_rect.height();
    m_rect = rect;
    if (!m_window)
        return;
    m_system.move(m_window, rect);
    if (m_handler)
        m_handler->moveAndSize(GeometryChange{m_rect, resized});
}

void NativeWindow::centreInWorkArea()
{
    if (!m_window)
        return;
    const Rect w = m_system.geometry(m_window);
    const Rect a = m_system.workArea();
    const int x = ((a.right - a.left) + (w.left - w.right)) / 2;
    const int y = ((a.bottom - a.top) + (w.top - w.bottom)) / 2;
    setRect(Rect{x, y, x + width(), y + height()});
}

void NativeWindow::applyStyleFlags(WindowStyleFlags flags)
{
    m_flags = flags;
    if (m_window)
        m_system.setStyle(m_window, style());
}

int NativeWindow::defaultHitTest(int x, int y) const
{
    // The band along a frameless window's edges that counts as its border.
    constexpr int BorderWidth = 1;
    if (!(m_flags & Frameless))
        return HitCode::Client;
    const int column = x < BorderWidth ? 0 : x >= width() - BorderWidth ? 2 : 1;
    const int row = y < BorderWidth ? 0 : y >= height() - BorderWidth ? 2 : 1;
    static const int codes[3][3] = {{HitCode::TopLeft, HitCode::Top, HitCode::TopRight},
                                    {HitCode::Left, HitCode::Client, HitCode::Right},
                                    {HitCode::BottomLeft, HitCode::Bottom, HitCode::BottomRight}};
    const int code = codes[row][column];
    if (code != HitCode::Client)
        return (m_flags & Resizable) ? code : HitCode::Border;
    for (const Rect &caption : m_captionRects)
        if (caption.contains(x, y))
            return HitCode::Caption;
    return HitCode::Client;
}

void NativeWindow::show(platform::ShowCommand command)
{
    if (m_window)
        m_system.show(m_window, command);
}

void NativeWindow::setTitle(const QString &title)
{
    if (m_window)
        m_system.setTitle(m_window, title);
}

void NativeWindow::setTimer(int id, int periodMs)
{
    if (m_window)
        m_system.setTimer(m_window, id, periodMs);
}

void NativeWindow::killTimer(int id)
{
    if (m_window)
        m_system.killTimer(m_window, id);
}

bool NativeWindow::post(int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    return m_window && m_system.post(m_window, n, wParam, lParam);
}

void NativeWindow::pushFrame(const Image &frame)
{
    if (m_window && frame.hasPixels())
        m_system.pushFrame(m_window, frame.pixels(), frame.width(), frame.height());
}

void NativeWindow::mouseEvent(const platform::MouseEvent &event)
{
    if (m_handler)
        m_handler->mouse(event);
}

platform::HitArea NativeWindow::hitArea(int code)
{
    using platform::HitArea;
    switch (code) {
    case HitCode::Client:
        return HitArea::Client;
    case HitCode::Caption:
        return HitArea::Caption;
    case HitCode::Left:
        return HitArea::Left;
    case HitCode::Right:
        return HitArea::Right;
    case HitCode::Top:
        return HitArea::Top;
    case HitCode::TopLeft:
        return HitArea::TopLeft;
    case HitCode::TopRight:
        return HitArea::TopRight;
    case HitCode::Bottom:
        return HitArea::Bottom;
    case HitCode::BottomLeft:
        return HitArea::BottomLeft;
    case HitCode::BottomRight:
        return HitArea::BottomRight;
    default:
        return HitArea::Border; // nowhere, border and anything unknown: no action
    }
}

platform::HitArea NativeWindow::hitTest(int x, int y)
{
    int code = HitCode::Nowhere;
    if (!m_handler || !m_handler->hitTest(x, y, &code))
        code = defaultHitTest(x, y);
    return hitArea(code);
}

void NativeWindow::geometryChanged(const Rect &client)
{
    track(client);
}

void NativeWindow::track(const Rect &rect)
{
    if (rect == m_rect)
        return;
    const bool resized = rect.width() != m_rect.width() || rect.height() != m_rect.height();
    m_rect = rect;
    if (m_handler)
        m_handler->moveAndSize(GeometryChange{m_rect, resized});
}

void NativeWindow::timer(int id)
{
    if (m_handler)
        m_handler->timer(id);
}

void NativeWindow::userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (m_handler)
        m_handler->userMessage(n, wParam, lParam);
}

void NativeWindow::closeRequested()
{
    if (m_handler)
        m_handler->close();
}

Image programIcon()
{
    const PackedResource icon = packedImage(PackedImageId::Icon);
    return loadPackedImage(icon.data, icon.size);
}
