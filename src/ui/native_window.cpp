#include "ui/native_window.h"

#include "ui/resources.h"

#include <vector>

NativeWindow::NativeWindow(platform::WindowSystem &system, WindowHandler *handler)
    : system_(system), handler_(handler)
{
}

NativeWindow::~NativeWindow()
{
    if (window_) system_.destroyWindow(window_);
}

platform::WindowStyle NativeWindow::style() const
{
    platform::WindowStyle style;
    style.frameless = flags_ & Frameless;
    style.resizable = flags_ & Resizable;
    style.taskbarButton = flags_ & TaskbarButton;
    style.topmost = flags_ & Topmost;
    style.translucent = flags_ & Layered;
    return style;
}

void NativeWindow::create()
{
    if (createAttempted_) return;
    createAttempted_ = true;
    window_ = system_.createWindow(this, rect_, style());
    if (!window_) return;

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
                    auto channel = [&](int shift) { return std::min<std::uint32_t>(255, ((p >> shift) & 0xff) * 255 / a); };
                    straight = a << 24 | channel(16) << 16 | channel(8) << 8 | channel(0);
                }
                argb[static_cast<size_t>(y) * icon.width() + x] = straight;
            }
        system_.setIcon(window_, icon.width(), icon.height(), argb.data());
    }
    // The system may have adjusted the geometry; what it gave is the logical rectangle now,
    // and the handler hears of the size the window starts with.
    const Rect actual = system_.geometry(window_);
    rect_ = actual;
    if (handler_) handler_->moveAndSize(GeometryChange{rect_, true});
}

void NativeWindow::setRect(const Rect &rect)
{
    if (rect == rect_) return;
    const bool resized = rect.width() != rect_.width() || rect.height() != rect_.height();
    rect_ = rect;
    if (!window_) return;
    system_.move(window_, rect);
    if (handler_) handler_->moveAndSize(GeometryChange{rect_, resized});
}

void NativeWindow::centreInWorkArea()
{
    if (!window_) return;
    const Rect w = system_.geometry(window_);
    const Rect a = system_.workArea();
    const int x = ((a.right - a.left) + (w.left - w.right)) / 2;
    const int y = ((a.bottom - a.top) + (w.top - w.bottom)) / 2;
    setRect(Rect{x, y, x + width(), y + height()});
}

void NativeWindow::applyStyleFlags(WindowStyleFlags flags)
{
    flags_ = flags;
    if (window_) system_.setStyle(window_, style());
}

int NativeWindow::defaultHitTest(int x, int y) const
{
    // The band along a frameless window's edges that counts as its border.
    constexpr int BorderWidth = 1;
    if (!(flags_ & Frameless)) return HitCode::Client;
    const int column = x < BorderWidth ? 0 : x >= width() - BorderWidth ? 2 : 1;
    const int row = y < BorderWidth ? 0 : y >= height() - BorderWidth ? 2 : 1;
    static const int codes[3][3] = {{HitCode::TopLeft, HitCode::Top, HitCode::TopRight},
                                    {HitCode::Left, HitCode::Client, HitCode::Right},
                                    {HitCode::BottomLeft, HitCode::Bottom, HitCode::BottomRight}};
    const int code = codes[row][column];
    if (code != HitCode::Client) return (flags_ & Resizable) ? code : HitCode::Border;
    for (const Rect &caption : captionRects_)
        if (caption.contains(x, y)) return HitCode::Caption;
    return HitCode::Client;
}

void NativeWindow::show(platform::ShowCommand command)
{
    if (window_) system_.show(window_, command);
}

void NativeWindow::setTitle(const QString &title)
{
    if (window_) system_.setTitle(window_, title);
}

void NativeWindow::setTimer(int id, int periodMs)
{
    if (window_) system_.setTimer(window_, id, periodMs);
}

void NativeWindow::killTimer(int id)
{
    if (window_) system_.killTimer(window_, id);
}

bool NativeWindow::post(int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    return window_ && system_.post(window_, n, wParam, lParam);
}

void NativeWindow::pushFrame(const Image &frame)
{
    if (window_ && frame.hasPixels()) system_.pushFrame(window_, frame.pixels(), frame.width(), frame.height());
}

void NativeWindow::mouseEvent(const platform::MouseEvent &event)
{
    if (handler_) handler_->mouse(event);
}

platform::HitArea NativeWindow::hitArea(int code)
{
    using platform::HitArea;
    switch (code) {
    case HitCode::Client: return HitArea::Client;
    case HitCode::Caption: return HitArea::Caption;
    case HitCode::Left: return HitArea::Left;
    case HitCode::Right: return HitArea::Right;
    case HitCode::Top: return HitArea::Top;
    case HitCode::TopLeft: return HitArea::TopLeft;
    case HitCode::TopRight: return HitArea::TopRight;
    case HitCode::Bottom: return HitArea::Bottom;
    case HitCode::BottomLeft: return HitArea::BottomLeft;
    case HitCode::BottomRight: return HitArea::BottomRight;
    default: return HitArea::Border; // nowhere, border and anything unknown: no action
    }
}

platform::HitArea NativeWindow::hitTest(int x, int y)
{
    int code = HitCode::Nowhere;
    if (!handler_ || !handler_->hitTest(x, y, &code)) code = defaultHitTest(x, y);
    return hitArea(code);
}

void NativeWindow::geometryChanged(const Rect &client)
{
    track(client);
}

void NativeWindow::track(const Rect &rect)
{
    if (rect == rect_) return;
    const bool resized = rect.width() != rect_.width() || rect.height() != rect_.height();
    rect_ = rect;
    if (handler_) handler_->moveAndSize(GeometryChange{rect_, resized});
}

void NativeWindow::timer(int id)
{
    if (handler_) handler_->timer(id);
}

void NativeWindow::userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (handler_) handler_->userMessage(n, wParam, lParam);
}

void NativeWindow::closeRequested()
{
    if (handler_) handler_->close();
}

Image programIcon()
{
    const PackedResource icon = packedImage(PackedImageId::Icon);
    return loadPackedImage(icon.data, icon.size);
}
