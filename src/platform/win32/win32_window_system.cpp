// The Windows window backend: top-level windows of the class "TarnWindow", translucent ones as
// layered windows updated from a 32-bit DIB section, and the thread's own message queue (posted
// messages, timers, the quit message). One file of more than 500 lines: <windows.h> defines
// macros that clash with Qt's and our names, so it stays inside this file, with the one class
// and the window procedure that share its types.
#include "platform/window_system.h"

#include <QByteArray>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <windows.h>
#include <windowsx.h>

namespace platform {

namespace {

const wchar_t windowClassName[] = L"TarnWindow";
// The program's icon in its resources.
constexpr WORD iconResource = 1000;
// Posted messages travel as WM_USER + n; everything above that range belongs to the system's
// registered messages.
constexpr int maxMessageNumber = 0x7fff - WM_USER;

HWND toHwnd(WindowId id)
{
    return reinterpret_cast<HWND>(id);
}

// Owns a GDI object (bitmap, icon bitmap) and deletes it.
class GdiObject {
public:
    explicit GdiObject(HGDIOBJ object = nullptr) : m_object(object) {}
    ~GdiObject() { reset(); }
    GdiObject(const GdiObject &) = delete;
    GdiObject &operator=(const GdiObject &) = delete;
    void reset(HGDIOBJ object = nullptr)
    {
        if (m_object)
            ::DeleteObject(m_object);
        m_object = object;
    }
    HGDIOBJ get() const { return m_object; }

private:
    HGDIOBJ m_object;
};

// A memory DC compatible with the screen; deleted on destruction.
class MemoryDc {
public:
    MemoryDc() : m_dc(::CreateCompatibleDC(nullptr)) {}
    ~MemoryDc()
    {
        if (m_dc)
            ::DeleteDC(m_dc);
    }
    MemoryDc(const MemoryDc &) = delete;
    MemoryDc &operator=(const MemoryDc &) = delete;
    HDC get() const { return m_dc; }

private:
    HDC m_dc;
};

// A 32-bit top-down or bottom-up DIB section of width × height whose bits the caller fills.
HBITMAP createDib(int width, int height, bool bottomUp, void **bits)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = bottomUp ? height : -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

struct Window {
    WindowEvents *events = nullptr;
    WindowStyle style;
    Rect rect; // the client area in screen coordinates
    bool trackingLeave = false;
    bool ownMove = false; // a move of ours is under way: not the system's change
    MouseButton pressed = MouseButton::NoButton;
    HICON icon = nullptr;
};

DWORD windowStyle(const WindowStyle &style)
{
    // A frameless window is a popup, still minimisable from its task bar button.
    DWORD s = style.frameless ? WS_POPUP | WS_MINIMIZEBOX | WS_SYSMENU : WS_OVERLAPPEDWINDOW;
    if (!style.resizable && !style.frameless)
        s &= ~DWORD(WS_THICKFRAME | WS_MAXIMIZEBOX);
    return s;
}

DWORD windowExStyle(const WindowStyle &style)
{
    DWORD s = 0;
    if (style.translucent)
        s |= WS_EX_LAYERED;
    if (style.topmost)
        s |= WS_EX_TOPMOST;
    s |= style.taskbarButton ? WS_EX_APPWINDOW : WS_EX_TOOLWINDOW;
    return s;
}

RECT outerRect(const Rect &client, const WindowStyle &style)
{
    RECT r{client.left, client.top, client.right, client.bottom};
    ::AdjustWindowRectEx(&r, windowStyle(style), FALSE, windowExStyle(style));
    return r;
}

LRESULT hitCode(HitArea area)
{
    switch (area) {
    case HitArea::Client:
        return HTCLIENT;
    case HitArea::Caption:
        return HTCAPTION;
    case HitArea::Border:
        return HTBORDER;
    case HitArea::Left:
        return HTLEFT;
    case HitArea::Right:
        return HTRIGHT;
    case HitArea::Top:
        return HTTOP;
    case HitArea::Bottom:
        return HTBOTTOM;
    case HitArea::TopLeft:
        return HTTOPLEFT;
    case HitArea::TopRight:
        return HTTOPRIGHT;
    case HitArea::BottomLeft:
        return HTBOTTOMLEFT;
    case HitArea::BottomRight:
        return HTBOTTOMRIGHT;
    }
    return HTCLIENT;
}

Rect clientRect(HWND hwnd)
{
    RECT r;
    ::GetClientRect(hwnd, &r);
    POINT topLeft{r.left, r.top};
    ::ClientToScreen(hwnd, &topLeft);
    return Rect{topLeft.x, topLeft.y, topLeft.x + (r.right - r.left), topLeft.y + (r.bottom - r.top)};
}

// Drops Close, and the separator left above it, from the window's system menu (Alt+Space, the
// task bar button's menu); moving and minimising stay.
void removeCloseFromSystemMenu(HWND hwnd)
{
    const HMENU menu = ::GetSystemMenu(hwnd, FALSE);
    if (!menu || !::DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND))
        return;
    const int last = ::GetMenuItemCount(menu) - 1;
    if (last >= 0 && (::GetMenuState(menu, UINT(last), MF_BYPOSITION) & MF_SEPARATOR))
        ::DeleteMenu(menu, UINT(last), MF_BYPOSITION);
}

Window *windowOf(HWND hwnd)
{
    return reinterpret_cast<Window *>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

void mouse(Window &w, MouseAction action, MouseButton button, LPARAM lParam)
{
    MouseEvent event;
    event.action = action;
    event.button = button;
    event.x = GET_X_LPARAM(lParam);
    event.y = GET_Y_LPARAM(lParam);
    w.events->mouseEvent(event);
}

void press(HWND hwnd, Window &w, MouseButton button, LPARAM lParam)
{
    ::SetCapture(hwnd);
    w.pressed = button;
    mouse(w, MouseAction::Press, button, lParam);
}

void release(Window &w, MouseButton button, LPARAM lParam)
{
    if (w.pressed != button)
        return;
    w.pressed = MouseButton::NoButton;
    ::ReleaseCapture();
    mouse(w, MouseAction::Release, button, lParam);
}

// The pointer's messages: moves (with a request for the leave that follows), leaves, presses
// and releases of the three buttons. False for any other message.
bool handleMouse(HWND hwnd, Window &w, UINT message, LPARAM lParam)
{
    switch (message) {
    case WM_MOUSEMOVE:
        if (!w.trackingLeave) {
            TRACKMOUSEEVENT track = {};
            track.cbSize = sizeof track;
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = hwnd;
            w.trackingLeave = ::TrackMouseEvent(&track);
        }
        mouse(w, MouseAction::Move, MouseButton::NoButton, lParam);
        return true;
    case WM_MOUSELEAVE:
        w.trackingLeave = false;
        mouse(w, MouseAction::Leave, MouseButton::NoButton, 0);
        return true;
    case WM_LBUTTONDOWN:
        press(hwnd, w, MouseButton::Left, lParam);
        return true;
    case WM_RBUTTONDOWN:
        press(hwnd, w, MouseButton::Right, lParam);
        return true;
    case WM_MBUTTONDOWN:
        press(hwnd, w, MouseButton::Middle, lParam);
        return true;
    case WM_LBUTTONUP:
        release(w, MouseButton::Left, lParam);
        return true;
    case WM_RBUTTONUP:
        release(w, MouseButton::Right, lParam);
        return true;
    case WM_MBUTTONUP:
        release(w, MouseButton::Middle, lParam);
        return true;
    case WM_CAPTURECHANGED:
        w.pressed = MouseButton::NoButton;
        return true;
    default:
        return false;
    }
}

// A move or resize, told to the window's events unless the backend made it itself.
void geometryChanged(HWND hwnd, Window &w)
{
    if (::IsIconic(hwnd))
        return;
    const Rect now = clientRect(hwnd);
    if (now == w.rect)
        return;
    w.rect = now;
    if (!w.ownMove)
        w.events->geometryChanged(now);
}

// The messages of the window's life: its geometry, its timers, attempts to close it, the end of
// the session and its destruction (w is deleted then). False for any other message, and for a
// system command other than Close.
bool handleWindowMessage(HWND hwnd, Window *w, UINT message, WPARAM wParam)
{
    switch (message) {
    case WM_MOVE:
    case WM_SIZE:
        geometryChanged(hwnd, *w);
        return true;
    case WM_TIMER:
        w->events->timer(int(wParam));
        return true;
    // The window offers no way to end its job: the system menu has no Close (see
    // createWindow), and Alt+F4, the task bar's "Close window" or another program's WM_CLOSE
    // find nothing to do. Only the end of the session still ends the job.
    case WM_SYSCOMMAND:
        return (wParam & 0xFFF0) == SC_CLOSE;
    case WM_CLOSE:
        return true;
    case WM_ENDSESSION:
        if (wParam)
            w->events->closeRequested();
        return true;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (w->icon)
            ::DestroyIcon(w->icon);
        delete w;
        return true;
    default:
        return false;
    }
}

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto *create = reinterpret_cast<const CREATESTRUCTW *>(lParam);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    Window *w = windowOf(hwnd);
    if (!w || !w->events)
        return ::DefWindowProcW(hwnd, message, wParam, lParam);

    if (message >= WM_USER && message <= WM_USER + maxMessageNumber) {
        w->events->userMessage(int(message - WM_USER), wParam, lParam);
        return 0;
    }
    // A frameless window draws its own caption and border: the events say which part is where.
    if (message == WM_NCHITTEST && w->style.frameless) {
        POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ::ScreenToClient(hwnd, &p);
        return hitCode(w->events->hitTest(p.x, p.y));
    }
    // Every message handled here answers 0.
    if (handleMouse(hwnd, *w, message, lParam) || handleWindowMessage(hwnd, w, message, wParam))
        return 0;
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

class Win32WindowSystem final : public WindowSystem {
public:
    Win32WindowSystem() : m_thread(::GetCurrentThreadId())
    {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = windowProcedure;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.hIcon = ::LoadIconW(windowClass.hInstance, MAKEINTRESOURCEW(iconResource));
        windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        windowClass.lpszClassName = windowClassName;
        // A second backend in the process finds the class registered already.
        ::RegisterClassExW(&windowClass);
    }

    ~Win32WindowSystem() override
    {
        for (HWND hwnd : m_windows)
            ::DestroyWindow(hwnd);
    }

    WindowId createWindow(WindowEvents *events, const Rect &client, const WindowStyle &style) override
    {
        auto *w = new Window;
        w->events = events;
        w->style = style;
        w->rect = client;
        const RECT outer = outerRect(client, style);
        const HWND hwnd =
            ::CreateWindowExW(windowExStyle(style), windowClassName, L"", windowStyle(style), outer.left,
                              outer.top, outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                              ::GetModuleHandleW(nullptr), w);
        if (!hwnd) {
            delete w;
            return 0;
        }
        removeCloseFromSystemMenu(hwnd);
        m_windows.push_back(hwnd);
        return reinterpret_cast<WindowId>(hwnd);
    }

    void destroyWindow(WindowId window) override
    {
        const HWND hwnd = toHwnd(window);
        for (auto it = m_windows.begin(); it != m_windows.end(); ++it) {
            if (*it == hwnd) {
                m_windows.erase(it);
                ::DestroyWindow(hwnd);
                return;
            }
        }
    }

    void setStyle(WindowId window, const WindowStyle &style) override
    {
        Window *w = find(window);
        if (!w)
            return;
        w->style = style;
        const HWND hwnd = toHwnd(window);
        ::SetWindowLongPtrW(hwnd, GWL_STYLE,
                            LONG_PTR(windowStyle(style) | (::IsWindowVisible(hwnd) ? WS_VISIBLE : 0)));
        ::SetWindowLongPtrW(hwnd, GWL_EXSTYLE, LONG_PTR(windowExStyle(style)));
        const RECT outer = outerRect(w->rect, style);
        w->ownMove = true;
        ::SetWindowPos(hwnd, style.topmost ? HWND_TOPMOST : HWND_NOTOPMOST, outer.left, outer.top,
                       outer.right - outer.left, outer.bottom - outer.top, SWP_FRAMECHANGED | SWP_NOACTIVATE);
        w->ownMove = false;
    }

    void setTitle(WindowId window, const QString &title) override
    {
        if (find(window))
            ::SetWindowTextW(toHwnd(window), title.toStdWString().c_str());
    }

    void setIcon(WindowId window, int width, int height, const std::uint32_t *argb) override
    {
        Window *w = find(window);
        if (!w || width <= 0 || height <= 0 || !argb)
            return;
        void *bits = nullptr;
        GdiObject colour(createDib(width, height, false, &bits));
        GdiObject mask(::CreateBitmap(width, height, 1, 1, nullptr));
        if (!colour.get() || !mask.get() || !bits)
            return;
        // Icons take straight (not premultiplied) BGRA, which is what 0xAARRGGBB is in memory.
        std::memcpy(bits, argb, size_t(width) * size_t(height) * 4);
        ICONINFO info = {};
        info.fIcon = TRUE;
        info.hbmColor = static_cast<HBITMAP>(colour.get());
        info.hbmMask = static_cast<HBITMAP>(mask.get());
        const HICON icon = ::CreateIconIndirect(&info);
        if (!icon)
            return;
        ::SendMessageW(toHwnd(window), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
        ::SendMessageW(toHwnd(window), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        if (w->icon)
            ::DestroyIcon(w->icon);
        w->icon = icon;
    }

    void show(WindowId window, ShowCommand command) override
    {
        if (!find(window))
            return;
        const int how = command == ShowCommand::Hide ? SW_HIDE
            : command == ShowCommand::Minimise       ? SW_MINIMIZE
                                                     : SW_SHOWNORMAL;
        ::ShowWindow(toHwnd(window), how);
    }

    bool isVisible(WindowId window) const override
    {
        return find(window) && ::IsWindowVisible(toHwnd(window));
    }

    void move(WindowId window, const Rect &client) override
    {
        Window *w = find(window);
        if (!w)
            return;
        w->rect = client;
        const RECT outer = outerRect(client, w->style);
        w->ownMove = true;
        ::SetWindowPos(toHwnd(window), nullptr, outer.left, outer.top, outer.right - outer.left,
                       outer.bottom - outer.top, SWP_NOZORDER | SWP_NOACTIVATE);
        w->ownMove = false;
    }

    Rect geometry(WindowId window) const override
    {
        const Window *w = find(window);
        return w ? w->rect : Rect{};
    }

    void pushFrame(WindowId window, const std::uint8_t *pixels, int width, int height) override
    {
        Window *w = find(window);
        if (!w || !pixels || width <= 0 || height <= 0)
            return;
        // The frame is laid out as a bottom-up 32-bit DIB with premultiplied alpha, which is
        // what UpdateLayeredWindow blends.
        void *bits = nullptr;
        GdiObject bitmap(createDib(width, height, true, &bits));
        const MemoryDc dc;
        if (!bitmap.get() || !bits || !dc.get())
            return;
        std::memcpy(bits, pixels, size_t(width) * size_t(height) * 4);
        const HGDIOBJ previous = ::SelectObject(dc.get(), bitmap.get());
        const HWND hwnd = toHwnd(window);
        if (w->style.translucent) {
            POINT position{w->rect.left, w->rect.top};
            SIZE size{width, height};
            POINT origin{0, 0};
            BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
            const HDC screen = ::GetDC(nullptr);
            ::UpdateLayeredWindow(hwnd, screen, &position, &size, dc.get(), &origin, 0, &blend, ULW_ALPHA);
            ::ReleaseDC(nullptr, screen);
        } else {
            const HDC target = ::GetDC(hwnd);
            ::BitBlt(target, 0, 0, width, height, dc.get(), 0, 0, SRCCOPY);
            ::ReleaseDC(hwnd, target);
        }
        ::SelectObject(dc.get(), previous);
    }

    // The status line is part of the frame the user already sees.
    void announceStatus(WindowId, const QString &) override {}

    Rect workArea() const override
    {
        RECT r = {};
        if (!::SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0))
            return Rect{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
        return Rect{r.left, r.top, r.right, r.bottom};
    }

    void setTimer(WindowId window, int id, int periodMs) override
    {
        if (find(window))
            ::SetTimer(toHwnd(window), UINT_PTR(id), UINT(periodMs > 0 ? periodMs : 1), nullptr);
    }

    void killTimer(WindowId window, int id) override
    {
        if (find(window))
            ::KillTimer(toHwnd(window), UINT_PTR(id));
    }

    bool post(WindowId window, int n, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        if (n < 0 || n > maxMessageNumber)
            return false;
        // PostMessageW refuses a window that no longer exists.
        return ::PostMessageW(toHwnd(window), UINT(WM_USER + n), wParam, lParam);
    }

    // PostQuitMessage would reach only the calling thread's queue; the quit belongs to the
    // loop's thread, and a message box's own loop ends on it and passes it on.
    void postQuit(int code) override { ::PostThreadMessageW(m_thread, WM_QUIT, WPARAM(code), 0); }

    int runLoop() override
    {
        MSG message;
        for (;;) {
            const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
            if (got == 0)
                return int(message.wParam);
            if (got < 0)
                return -1;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }

    void messageBox(WindowId owner, const QString &text) override
    {
        // No caption: the system's default one.
        ::MessageBoxW(find(owner) ? toHwnd(owner) : nullptr, text.toStdWString().c_str(), nullptr, MB_OK);
    }

    bool isHeadless() const override { return false; }

private:
    Window *find(WindowId window) const
    {
        const HWND hwnd = toHwnd(window);
        for (HWND known : m_windows) {
            if (known == hwnd)
                return windowOf(hwnd);
        }
        return nullptr;
    }

    DWORD m_thread;
    std::vector<HWND> m_windows;
};

} // namespace

std::unique_ptr<WindowSystem> openNativeWindowSystem()
{
    return std::make_unique<Win32WindowSystem>();
}

std::unique_ptr<WindowSystem> openWindowSystem(BackendChoice choice)
{
    switch (choice) {
    case BackendChoice::Headless:
        return openHeadlessWindowSystem();
    case BackendChoice::X11:
        return nullptr; // no X11 here
    case BackendChoice::Automatic:
        break;
    }
    const QByteArray headless = qgetenv("KORVEL_HEADLESS");
    if (headless == "1")
        return openHeadlessWindowSystem();
    return openNativeWindowSystem();
}

std::unique_ptr<WindowSystem> openX11WindowSystem()
{
    return nullptr;
}

} // namespace platform
