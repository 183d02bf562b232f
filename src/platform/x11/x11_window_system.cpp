// The X11 window backend. Xlib's macros (Bool, None, Status, True, False) clash with Qt and
// gtest headers, so Xlib stays inside this file and nothing of it leaks into a header; that is
// why the backend, one class over Xlib's types with the few records it keeps per window, is one
// file of more than 500 lines. What needs no Xlib lives beside it: the message box's look and
// input (message_box.h), the text rasteriser and the message queue (posix/).
#include "platform/posix/message_queue.h"
#include "platform/window_system.h"
#include "platform/x11/message_box.h"

#include <QByteArray>
#include <QStringList>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace platform {

namespace {

constexpr long motifHintsDecorationsFlag = 1L << 1;
constexpr long motifAllDecorations = 1;
constexpr long netWmStateRemove = 0;
constexpr long netWmStateAdd = 1;
constexpr long netWmMoveResizeMove = 8;

// Errors of requests on windows that went away meanwhile are expected; the default handler
// would end the process for them.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

class DisplayConnection {
public:
    DisplayConnection() : m_display(XOpenDisplay(nullptr)) {}
    ~DisplayConnection()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    DisplayConnection(const DisplayConnection &) = delete;
    DisplayConnection &operator=(const DisplayConnection &) = delete;
    Display *get() const { return m_display; }

private:
    Display *m_display;
};

// Memory that Xlib allocated for us (property data, hint records).
struct XFreeRelease {
    void operator()(void *data) const { XFree(data); }
};
template <typename T>
using XMemory = std::unique_ptr<T, XFreeRelease>;

// The pixels of one window as the server wants them: top-down rows of 32-bit pixel values.
class FrameImage {
public:
    FrameImage() = default;
    ~FrameImage() { reset(); }
    FrameImage(const FrameImage &) = delete;
    FrameImage &operator=(const FrameImage &) = delete;

    bool create(Display *display, Visual *visual, int depth, int width, int height)
    {
        reset();
        if (width <= 0 || height <= 0)
            return false;
        m_pixels.assign(static_cast<size_t>(width) * height, 0);
        m_image = XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0,
                               reinterpret_cast<char *>(m_pixels.data()), static_cast<unsigned>(width),
                               static_cast<unsigned>(height), 32, width * 4);
        if (!m_image)
            m_pixels.clear();
        return m_image != nullptr;
    }
    void reset()
    {
        if (m_image) {
            m_image->data = nullptr; // the vector owns the pixels
            XDestroyImage(m_image);
            m_image = nullptr;
        }
        m_pixels.clear();
    }
    XImage *get() const { return m_image; }
    std::uint32_t *pixels() { return m_pixels.data(); }
    int width() const { return m_image ? m_image->width : 0; }
    int height() const { return m_image ? m_image->height : 0; }

private:
    std::vector<std::uint32_t> m_pixels;
    XImage *m_image = nullptr;
};

struct Atoms {
    Atom wmProtocols, wmDeleteWindow, motifWmHints, netWmName, utf8String, netWmIcon, netWmState,
        netWmStateSkipTaskbar, netWmStateAbove, netWmStateModal, netWmMoveResize, netSupported, netWorkArea,
        netCurrentDesktop, netWmWindowType, netWmWindowTypeDialog, netWmPid;

    explicit Atoms(Display *d)
    {
        auto atom = [d](const char *name) { return XInternAtom(d, name, False); };
        wmProtocols = atom("WM_PROTOCOLS");
        wmDeleteWindow = atom("WM_DELETE_WINDOW");
        motifWmHints = atom("_MOTIF_WM_HINTS");
        netWmName = atom("_NET_WM_NAME");
        utf8String = atom("UTF8_STRING");
        netWmIcon = atom("_NET_WM_ICON");
        netWmState = atom("_NET_WM_STATE");
        netWmStateSkipTaskbar = atom("_NET_WM_STATE_SKIP_TASKBAR");
        netWmStateAbove = atom("_NET_WM_STATE_ABOVE");
        netWmStateModal = atom("_NET_WM_STATE_MODAL");
        netWmMoveResize = atom("_NET_WM_MOVERESIZE");
        netSupported = atom("_NET_SUPPORTED");
        netWorkArea = atom("_NET_WORKAREA");
        netCurrentDesktop = atom("_NET_CURRENT_DESKTOP");
        netWmWindowType = atom("_NET_WM_WINDOW_TYPE");
        netWmWindowTypeDialog = atom("_NET_WM_WINDOW_TYPE_DIALOG");
        netWmPid = atom("_NET_WM_PID");
    }
};

long moveResizeDirection(HitArea area)
{
    switch (area) {
    case HitArea::TopLeft:
        return 0;
    case HitArea::Top:
        return 1;
    case HitArea::TopRight:
        return 2;
    case HitArea::Right:
        return 3;
    case HitArea::BottomRight:
        return 4;
    case HitArea::Bottom:
        return 5;
    case HitArea::BottomLeft:
        return 6;
    case HitArea::Left:
        return 7;
    case HitArea::Caption:
        return netWmMoveResizeMove;
    default:
        return -1;
    }
}

MouseButton mouseButton(unsigned int button)
{
    switch (button) {
    case Button1:
        return MouseButton::Left;
    case Button2:
        return MouseButton::Middle;
    case Button3:
        return MouseButton::Right;
    default:
        return MouseButton::NoButton; // wheel and extra buttons
    }
}

// An 8-bit channel value placed into a visual's channel mask (scaled to the mask's width).
unsigned long toMask(std::uint8_t value, unsigned long mask)
{
    if (!mask)
        return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    const unsigned long maximum = mask >> shift;
    return ((value * maximum + 127) / 255) << shift;
}

class X11WindowSystem final : public WindowSystem {
public:
    explicit X11WindowSystem(std::unique_ptr<DisplayConnection> connection)
        : m_connection(std::move(connection)), m_display(m_connection->get()), m_atoms(m_display)
    {
        XSetErrorHandler(ignoreXError);
        m_screen = DefaultScreen(m_display);
        m_root = RootWindow(m_display, m_screen);
        XSelectInput(m_display, m_root, PropertyChangeMask);
    }

    ~X11WindowSystem() override
    {
        while (!m_windows.empty())
            destroyWindow(m_windows.begin()->first);
    }

    WindowId createWindow(WindowEvents *events, const Rect &client, const WindowStyle &style) override
    {
        auto window = std::make_unique<Window>(m_display);
        window->events = events;
        window->rect = client;
        window->style = style;

        XVisualInfo info;
        std::memset(&info, 0, sizeof info);
        XSetWindowAttributes attributes;
        std::memset(&attributes, 0, sizeof attributes);
        unsigned long mask = CWEventMask | CWBackPixel | CWBorderPixel;
        Visual *visual = DefaultVisual(m_display, m_screen);
        int depth = DefaultDepth(m_display, m_screen);
        // A translucent window needs a visual with an alpha channel, and such a visual needs
        // its own colormap and border pixel (else BadMatch).
        if (style.translucent && XMatchVisualInfo(m_display, m_screen, 32, TrueColor, &info)) {
            visual = info.visual;
            depth = 32;
            window->colormap = XCreateColormap(m_display, m_root, visual, AllocNone);
            attributes.colormap = window->colormap;
            mask |= CWColormap;
        }
        attributes.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask
            | PointerMotionMask | LeaveWindowMask | KeyPressMask;
        attributes.background_pixel = 0;
        attributes.border_pixel = 0;
        const int width = std::max(1, client.width());
        const int height = std::max(1, client.height());
        window->xid =
            XCreateWindow(m_display, m_root, client.left, client.top, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), 0, depth, InputOutput, visual, mask, &attributes);
        if (!window->xid)
            return 0;
        window->visual = visual;
        window->depth = depth;
        window->gc = XCreateGC(m_display, window->xid, 0, nullptr);

        Atom protocols[] = {m_atoms.wmDeleteWindow};
        XSetWMProtocols(m_display, window->xid, protocols, 1);
        XClassHint classHint;
        char name[] = "korvel";
        char className[] = "Korvel";
        classHint.res_name = name;
        classHint.res_class = className;
        XSetClassHint(m_display, window->xid, &classHint);
        const long pid = static_cast<long>(getpid());
        XChangeProperty(m_display, window->xid, m_atoms.netWmPid, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(&pid), 1);

        const WindowId id = static_cast<WindowId>(window->xid);
        m_windows[id] = std::move(window);
        m_queue.addWindow(id);
        Window &w = *m_windows[id];
        applySizeHints(w);
        applyStyle(w);
        return id;
    }

    void destroyWindow(WindowId id) override
    {
        const auto it = m_windows.find(id);
        if (it == m_windows.end())
            return;
        m_windows.erase(it);
        XFlush(m_display);
        m_queue.forgetWindow(id);
    }

    void setStyle(WindowId id, const WindowStyle &style) override
    {
        if (Window *w = find(id)) {
            w->style = style;
            applySizeHints(*w);
            applyStyle(*w);
        }
    }

    void setTitle(WindowId id, const QString &title) override
    {
        Window *w = find(id);
        if (!w)
            return;
        const QByteArray utf8 = title.toUtf8();
        XChangeProperty(m_display, w->xid, m_atoms.netWmName, m_atoms.utf8String, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(utf8.constData()), utf8.size());
        XChangeProperty(m_display, w->xid, XA_WM_NAME, m_atoms.utf8String, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(utf8.constData()), utf8.size());
        XFlush(m_display);
    }

    void setIcon(WindowId id, int width, int height, const std::uint32_t *argb) override
    {
        Window *w = find(id);
        if (!w || width <= 0 || height <= 0 || !argb)
            return;
        // Format 32 properties travel as C longs on the client side, whatever their width.
        std::vector<long> data;
        data.reserve(2 + static_cast<size_t>(width) * height);
        data.push_back(width);
        data.push_back(height);
        for (int i = 0; i < width * height; ++i)
            data.push_back(static_cast<long>(argb[i]));
        XChangeProperty(m_display, w->xid, m_atoms.netWmIcon, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(data.data()), static_cast<int>(data.size()));
        XFlush(m_display);
    }

    void show(WindowId id, ShowCommand command) override
    {
        Window *w = find(id);
        if (!w)
            return;
        switch (command) {
        case ShowCommand::Hide:
            XUnmapWindow(m_display, w->xid);
            w->visible = false;
            break;
        case ShowCommand::Show:
            XMapRaised(m_display, w->xid);
            // Window managers may place a newly mapped window by their own rules.
            XMoveWindow(m_display, w->xid, w->rect.left, w->rect.top);
            w->visible = true;
            // Frames pushed while unmapped were dropped by the server. Without a window
            // manager the window is mapped by now; with one, the Expose after mapping repaints.
            putFrame(*w);
            break;
        case ShowCommand::Minimise:
            if (!w->visible) {
                XMapWindow(m_display, w->xid);
                w->visible = true;
            }
            XIconifyWindow(m_display, w->xid, m_screen);
            break;
        }
        XFlush(m_display);
    }

    bool isVisible(WindowId id) const override
    {
        const auto it = m_windows.find(id);
        return it != m_windows.end() && it->second->visible;
    }

    void move(WindowId id, const Rect &client) override
    {
        Window *w = find(id);
        if (!w)
            return;
        w->rect = client;
        XMoveResizeWindow(m_display, w->xid, client.left, client.top,
                          static_cast<unsigned>(std::max(1, client.width())),
                          static_cast<unsigned>(std::max(1, client.height())));
        applySizeHints(*w);
        XFlush(m_display);
    }

    Rect geometry(WindowId id) const override
    {
        const auto it = m_windows.find(id);
        return it == m_windows.end() ? Rect{} : it->second->rect;
    }

    void pushFrame(WindowId id, const std::uint8_t *pixels, int width, int height) override
    {
        Window *w = find(id);
        if (!w || !pixels || width <= 0 || height <= 0)
            return;
        if (w->frame.width() != width || w->frame.height() != height) {
            if (!w->frame.create(m_display, w->visual, w->depth, width, height))
                return;
        }
        // Bytes B, G, R, A read as a little-endian 32-bit value are the ARGB pixel a TrueColor
        // visual with the usual masks expects; a visual without alpha ignores the top byte and,
        // the colour being premultiplied, shows the frame as if over black. Other channel
        // layouts get each channel shifted into its mask. Rows flip from bottom-up to the
        // server's top-down.
        const Visual *visual = w->visual;
        const bool usualMasks =
            visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 && visual->blue_mask == 0xff;
        std::uint32_t *target = w->frame.pixels();
        for (int row = 0; row < height; ++row) {
            const std::uint8_t *line = pixels + static_cast<size_t>(height - 1 - row) * width * 4;
            std::uint32_t *out = target + static_cast<size_t>(row) * width;
            for (int x = 0; x < width; ++x) {
                const std::uint8_t *p = line + x * 4;
                if (usualMasks) {
                    out[x] = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
                        | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
                } else {
                    out[x] = static_cast<std::uint32_t>(toMask(p[2], visual->red_mask)
                                                        | toMask(p[1], visual->green_mask)
                                                        | toMask(p[0], visual->blue_mask));
                }
            }
        }
        putFrame(*w);
    }

    void announceStatus(WindowId, const QString &) override {}

    Rect workArea() const override
    {
        Rect screen{0, 0, DisplayWidth(m_display, m_screen), DisplayHeight(m_display, m_screen)};
        std::vector<long> area = cardinalProperty(m_root, m_atoms.netWorkArea);
        if (area.size() < 4)
            return screen;
        // The desktop number is any other client's word (Xlib even hands 0xFFFFFFFF over as
        // -1): one that names no area of the list means the first.
        const std::vector<long> desktop = cardinalProperty(m_root, m_atoms.netCurrentDesktop);
        const size_t areas = area.size() / 4;
        const long current = desktop.empty() ? 0 : desktop[0];
        const size_t index =
            current >= 0 && static_cast<size_t>(current) < areas ? static_cast<size_t>(current) : 0;
        const long *a = area.data() + index * 4;
        if (a[2] <= 0 || a[3] <= 0)
            return screen;
        return Rect{static_cast<int>(a[0]), static_cast<int>(a[1]), static_cast<int>(a[0] + a[2]),
                    static_cast<int>(a[1] + a[3])};
    }

    void setTimer(WindowId id, int timerId, int periodMs) override
    {
        if (find(id))
            m_queue.setTimer(id, timerId, periodMs);
    }

    void killTimer(WindowId id, int timerId) override { m_queue.killTimer(id, timerId); }

    bool post(WindowId id, int n, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        return m_queue.post(id, n, wParam, lParam);
    }

    void postQuit(int code) override { m_queue.postQuit(code); }

    int runLoop() override
    {
        int code = 0;
        loopUntil([] { return false; });
        m_queue.quitPending(&code);
        m_queue.clearQuit();
        return code;
    }

    void messageBox(WindowId owner, const QString &text) override;

    bool isHeadless() const override { return false; }

private:
    // A window and the server resources made for it, released together when it goes.
    struct Window {
        explicit Window(Display *connection) : display(connection) {}
        ~Window()
        {
            frame.reset();
            if (gc)
                XFreeGC(display, gc);
            if (xid)
                XDestroyWindow(display, xid);
            if (colormap)
                XFreeColormap(display, colormap);
        }
        Window(const Window &) = delete;
        Window &operator=(const Window &) = delete;

        Display *const display;
        WindowEvents *events = nullptr;
        ::Window xid = 0;
        Visual *visual = nullptr;
        int depth = 0;
        Colormap colormap = 0;
        GC gc = nullptr;
        Rect rect;
        WindowStyle style;
        bool visible = false;
        FrameImage frame;
        MouseButton pressed = MouseButton::NoButton; // button of a client press not yet released
        bool pointerInClient = false;
        bool dragging = false; // moved by us (no window manager to ask)
        int dragRootX = 0, dragRootY = 0;
        Rect dragStart;
        bool modalBox = false; // a message box: handled by its own loop
        std::function<void(const XEvent &)> boxHandler;
    };

    Window *find(WindowId id)
    {
        const auto it = m_windows.find(id);
        return it == m_windows.end() ? nullptr : it->second.get();
    }

    std::vector<long> cardinalProperty(::Window window, Atom property) const
    {
        std::vector<long> values;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char *data = nullptr;
        const bool read = XGetWindowProperty(m_display, window, property, 0, 1024, False, XA_CARDINAL, &type,
                                             &format, &count, &remaining, &data)
            == Success;
        const XMemory<unsigned char> owned(data);
        if (read && owned && type == XA_CARDINAL && format == 32) {
            const long *longs = reinterpret_cast<const long *>(owned.get());
            values.assign(longs, longs + count);
        }
        return values;
    }

    bool windowManagerSupports(Atom feature) const
    {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char *data = nullptr;
        const bool read = XGetWindowProperty(m_display, m_root, m_atoms.netSupported, 0, 4096, False, XA_ATOM,
                                             &type, &format, &count, &remaining, &data)
            == Success;
        const XMemory<unsigned char> owned(data);
        if (!read || !owned || type != XA_ATOM || format != 32)
            return false;
        const Atom *atoms = reinterpret_cast<const Atom *>(owned.get());
        return std::find(atoms, atoms + count, feature) != atoms + count;
    }

    void applySizeHints(Window &w)
    {
        const XMemory<XSizeHints> hints(XAllocSizeHints());
        if (!hints)
            return;
        hints->flags = USPosition | PPosition | PSize;
        hints->x = w.rect.left;
        hints->y = w.rect.top;
        hints->width = w.rect.width();
        hints->height = w.rect.height();
        if (!w.style.resizable) {
            hints->flags |= PMinSize | PMaxSize;
            hints->min_width = hints->max_width = w.rect.width();
            hints->min_height = hints->max_height = w.rect.height();
        }
        XSetWMNormalHints(m_display, w.xid, hints.get());
    }

    // A request about window w to the window manager, which listens on the root window.
    void sendToWindowManager(const Window &w, Atom type, const long (&data)[5])
    {
        XEvent event;
        std::memset(&event, 0, sizeof event);
        event.xclient.type = ClientMessage;
        event.xclient.window = w.xid;
        event.xclient.message_type = type;
        event.xclient.format = 32;
        for (int i = 0; i < 5; ++i)
            event.xclient.data.l[i] = data[i];
        XSendEvent(m_display, m_root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    }

    void changeState(Window &w, Atom state, bool on)
    {
        sendToWindowManager(w, m_atoms.netWmState,
                            {on ? netWmStateAdd : netWmStateRemove, static_cast<long>(state), 0, 1, 0});
    }

    void applyStyle(Window &w)
    {
        // Motif hints: flags, functions, decorations, input mode, status.
        long motif[5] = {motifHintsDecorationsFlag, 0, w.style.frameless ? 0 : motifAllDecorations, 0, 0};
        XChangeProperty(m_display, w.xid, m_atoms.motifWmHints, m_atoms.motifWmHints, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(motif), 5);
        std::vector<Atom> states;
        if (!w.style.taskbarButton)
            states.push_back(m_atoms.netWmStateSkipTaskbar);
        if (w.style.topmost)
            states.push_back(m_atoms.netWmStateAbove);
        if (w.modalBox)
            states.push_back(m_atoms.netWmStateModal);
        if (!w.visible) {
            // Before mapping the window manager reads the property itself.
            XChangeProperty(m_display, w.xid, m_atoms.netWmState, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(states.data()),
                            static_cast<int>(states.size()));
        } else {
            changeState(w, m_atoms.netWmStateSkipTaskbar, !w.style.taskbarButton);
            changeState(w, m_atoms.netWmStateAbove, w.style.topmost);
        }
        XFlush(m_display);
    }

    void putFrame(Window &w)
    {
        if (!w.frame.get())
            return;
        XPutImage(m_display, w.xid, w.gc, w.frame.get(), 0, 0, 0, 0, static_cast<unsigned>(w.frame.width()),
                  static_cast<unsigned>(w.frame.height()));
        XFlush(m_display);
    }

    Rect rootRect(Window &w, int width, int height)
    {
        int x = 0, y = 0;
        ::Window child = 0;
        XTranslateCoordinates(m_display, w.xid, m_root, 0, 0, &x, &y, &child);
        return Rect{x, y, x + width, y + height};
    }

    // Runs X events, posted messages and timers until stop() or a quit request.
    void loopUntil(const std::function<bool()> &stop)
    {
        const int fd = ConnectionNumber(m_display);
        while (!stop() && !m_queue.quitPending(nullptr)) {
            if (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                handleEvent(event);
                continue;
            }
            MessageQueue::Item item;
            if (m_queue.takeNext(&item)) {
                deliver(item);
                continue;
            }
            XFlush(m_display);
            waitForEvents(m_queue, fd, m_queue.msUntilNextTimer());
            m_queue.drain();
        }
    }

    void deliver(const MessageQueue::Item &item)
    {
        Window *w = find(item.window);
        if (!w || !w->events)
            return;
        if (item.kind == MessageQueue::Item::Timer)
            w->events->timer(item.n);
        else
            w->events->userMessage(item.n, item.wParam, item.lParam);
    }

    void startWindowManagerDrag(Window &w, HitArea area, const XButtonEvent &press)
    {
        XUngrabPointer(m_display, CurrentTime);
        sendToWindowManager(
            w, m_atoms.netWmMoveResize,
            {press.x_root, press.y_root, moveResizeDirection(area), static_cast<long>(press.button), 1});
        XFlush(m_display);
    }

    void handleEvent(const XEvent &event)
    {
        const WindowId id = static_cast<WindowId>(event.xany.window);
        Window *w = find(id);
        if (!w)
            return;
        if (w->modalBox) {
            if (w->boxHandler)
                w->boxHandler(event);
            return;
        }
        WindowEvents *events = w->events;
        // While a message box is open, its owner takes no input, as with any modal box.
        const bool inputBlocked = m_modalDepth > 0;
        switch (event.type) {
        case Expose:
            if (event.xexpose.count == 0)
                putFrame(*w);
            break;
        case ConfigureNotify: {
            const Rect rect = rootRect(*w, event.xconfigure.width, event.xconfigure.height);
            if (rect != w->rect) {
                w->rect = rect;
                if (events)
                    events->geometryChanged(rect);
            }
            break;
        }
        case MapNotify:
            w->visible = true;
            break;
        case ClientMessage:
            if (event.xclient.message_type == m_atoms.wmProtocols
                && static_cast<Atom>(event.xclient.data.l[0]) == m_atoms.wmDeleteWindow && events
                && !inputBlocked)
                events->closeRequested();
            break;
        case ButtonPress:
            if (!inputBlocked && events)
                buttonPressed(*w, event.xbutton);
            break;
        case MotionNotify:
            pointerMoved(*w, event.xmotion, inputBlocked);
            break;
        case ButtonRelease:
            buttonReleased(*w, event.xbutton);
            break;
        case LeaveNotify:
            if (event.xcrossing.mode == NotifyNormal && w->pressed == MouseButton::NoButton
                && w->pointerInClient && events) {
                w->pointerInClient = false;
                events->mouseEvent(MouseEvent{MouseAction::Leave, MouseButton::NoButton, -1, -1});
            }
            break;
        default:
            break;
        }
    }

    // A press in the client area goes to the window; one on its caption or border starts a
    // move or resize, by the window manager when it offers that, else a move of our own.
    void buttonPressed(Window &w, const XButtonEvent &press)
    {
        const MouseButton button = mouseButton(press.button);
        if (button == MouseButton::NoButton || w.pressed != MouseButton::NoButton || w.dragging)
            return;
        const HitArea area = w.events->hitTest(press.x, press.y);
        if (area == HitArea::Client) {
            w.pressed = button;
            w.events->mouseEvent(MouseEvent{MouseAction::Press, button, press.x, press.y});
        } else if (button == MouseButton::Left && moveResizeDirection(area) >= 0) {
            if (windowManagerSupports(m_atoms.netWmMoveResize)) {
                startWindowManagerDrag(w, area, press);
            } else if (area == HitArea::Caption) {
                w.dragging = true;
                w.dragRootX = press.x_root;
                w.dragRootY = press.y_root;
                w.dragStart = w.rect;
            }
        }
    }

    void pointerMoved(Window &w, const XMotionEvent &motion, bool inputBlocked)
    {
        WindowEvents *events = w.events;
        if (w.dragging) {
            const int dx = motion.x_root - w.dragRootX;
            const int dy = motion.y_root - w.dragRootY;
            Rect rect{w.dragStart.left + dx, w.dragStart.top + dy, w.dragStart.right + dx,
                      w.dragStart.bottom + dy};
            w.rect = rect;
            XMoveWindow(m_display, w.xid, rect.left, rect.top);
            if (events)
                events->geometryChanged(rect);
            return;
        }
        if (inputBlocked || !events)
            return;
        if (w.pressed != MouseButton::NoButton || events->hitTest(motion.x, motion.y) == HitArea::Client) {
            w.pointerInClient = true;
            events->mouseEvent(MouseEvent{MouseAction::Move, MouseButton::NoButton, motion.x, motion.y});
        } else if (w.pointerInClient) {
            w.pointerInClient = false;
            events->mouseEvent(MouseEvent{MouseAction::Leave, MouseButton::NoButton, -1, -1});
        }
    }

    void buttonReleased(Window &w, const XButtonEvent &release)
    {
        if (w.dragging) {
            if (release.button == Button1)
                w.dragging = false;
            return;
        }
        if (!w.events)
            return;
        const MouseButton button = mouseButton(release.button);
        if (button == MouseButton::NoButton || button != w.pressed)
            return;
        w.pressed = MouseButton::NoButton;
        w.events->mouseEvent(MouseEvent{MouseAction::Release, button, release.x, release.y});
    }

    std::unique_ptr<DisplayConnection> m_connection;
    Display *m_display;
    Atoms m_atoms;
    int m_screen = 0;
    ::Window m_root = 0;
    std::map<WindowId, std::unique_ptr<Window>> m_windows;
    MessageQueue m_queue;
    int m_modalDepth = 0;
};

// What one event does to an open message box (true: it must be drawn again).
bool messageBoxEvent(const XEvent &event, const Atoms &atoms, MessageBoxDialog *dialog)
{
    switch (event.type) {
    case Expose:
        return event.xexpose.count == 0;
    case MotionNotify:
        return dialog->pointerMoved(event.xmotion.x, event.xmotion.y);
    case ButtonRelease:
        dialog->buttonReleased(event.xbutton.button == Button1, event.xbutton.x, event.xbutton.y);
        return false;
    case KeyPress: {
        XKeyEvent key = event.xkey;
        const KeySym sym = XLookupKeysym(&key, 0);
        if (sym == XK_Return || sym == XK_KP_Enter || sym == XK_Escape || sym == XK_space)
            dialog->accept();
        return false;
    }
    case ClientMessage:
        if (event.xclient.message_type == atoms.wmProtocols
            && static_cast<Atom>(event.xclient.data.l[0]) == atoms.wmDeleteWindow)
            dialog->accept();
        return false;
    default:
        return false;
    }
}

void X11WindowSystem::messageBox(WindowId owner, const QString &text)
{
    MessageBoxDialog dialog(text);
    const int width = dialog.width();
    const int height = dialog.height();

    Rect area = workArea();
    if (const Window *o = find(owner); o && o->visible)
        area = o->rect;
    const int left = area.left + (area.width() - width) / 2;
    const int top = area.top + (area.height() - height) / 2;

    // The box is a window of this backend with its own input handling.
    const WindowId id = createWindow(nullptr, Rect{left, top, left + width, top + height}, WindowStyle{});
    Window *box = find(id);
    if (!box)
        return;
    box->modalBox = true;
    applyStyle(*box);
    if (const Window *o = find(owner))
        XSetTransientForHint(m_display, box->xid, o->xid);
    const Atom dialogType = m_atoms.netWmWindowTypeDialog;
    XChangeProperty(m_display, box->xid, m_atoms.netWmWindowType, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(&dialogType), 1);
    setTitle(id, QString::fromUtf8(messageBoxTitle));

    auto paint = [&]() {
        Window *b = find(id);
        if (!b || !b->frame.create(m_display, b->visual, b->depth, width, height))
            return;
        dialog.paint(b->frame.pixels());
        putFrame(*b);
    };
    box->boxHandler = [&](const XEvent &event) {
        if (messageBoxEvent(event, m_atoms, &dialog))
            paint();
    };
    paint();
    show(id, ShowCommand::Show);

    ++m_modalDepth;
    loopUntil([&dialog] { return dialog.isDone(); });
    --m_modalDepth;
    destroyWindow(id);
}

} // namespace

std::unique_ptr<WindowSystem> openX11WindowSystem()
{
    auto connection = std::make_unique<DisplayConnection>();
    if (!connection->get())
        return nullptr;
    return std::make_unique<X11WindowSystem>(std::move(connection));
}

} // namespace platform
