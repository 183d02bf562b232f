#include "x11_probe.h"

#include <QByteArray>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

namespace x11probe {

namespace {

int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

class Connection {
public:
    Connection() : m_display(XOpenDisplay(nullptr)) { XSetErrorHandler(ignoreErrors); }
    ~Connection()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Display *get() const { return m_display; }

private:
    Display *m_display;
};

} // namespace

WindowInfo inspect(std::uintptr_t id)
{
    WindowInfo info;
    Connection connection;
    Display *d = connection.get();
    if (!d)
        return info;
    const Window window = static_cast<Window>(id);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, window, &attributes))
        return info;
    info.exists = true;
    info.viewable = attributes.map_state == IsViewable;
    info.width = attributes.width;
    info.height = attributes.height;
    info.depth = attributes.depth;
    Window child = 0;
    XTranslateCoordinates(d, window, DefaultRootWindow(d), 0, 0, &info.x, &info.y, &child);

    Atom type = 0;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(d, window, XInternAtom(d, "_NET_WM_NAME", False), 0, 1024, False, AnyPropertyType,
                           &type, &format, &count, &remaining, &data)
            == Success
        && data) {
        info.title = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(count));
        XFree(data);
    }
    data = nullptr;
    if (XGetWindowProperty(d, window, XInternAtom(d, "_NET_WM_ICON", False), 0, 2, False, XA_CARDINAL, &type,
                           &format, &count, &remaining, &data)
            == Success
        && data) {
        if (count == 2) {
            const long *values = reinterpret_cast<const long *>(data);
            info.iconWidth = static_cast<int>(values[0]);
            info.iconHeight = static_cast<int>(values[1]);
        }
        XFree(data);
    }
    return info;
}

std::vector<std::uint32_t> grab(std::uintptr_t id, int width, int height)
{
    std::vector<std::uint32_t> pixels;
    Connection connection;
    if (!connection.get())
        return pixels;
    XImage *image = XGetImage(connection.get(), static_cast<Window>(id), 0, 0, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (!image)
        return pixels;
    pixels.reserve(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back(static_cast<std::uint32_t>(XGetPixel(image, x, y)));
    XDestroyImage(image);
    return pixels;
}

void sendPointer(std::uintptr_t id, Pointer kind, int x, int y, int left, int top)
{
    Connection connection;
    Display *d = connection.get();
    if (!d)
        return;
    const Window window = static_cast<Window>(id);
    XEvent event;
    std::memset(&event, 0, sizeof event);
    long mask = 0;
    if (kind == Pointer::Motion) {
        event.xmotion.type = MotionNotify;
        event.xmotion.window = window;
        event.xmotion.root = DefaultRootWindow(d);
        event.xmotion.x = x;
        event.xmotion.y = y;
        event.xmotion.x_root = left + x;
        event.xmotion.y_root = top + y;
        event.xmotion.same_screen = True;
        mask = PointerMotionMask;
    } else {
        event.xbutton.type = kind == Pointer::Press ? ButtonPress : ButtonRelease;
        event.xbutton.window = window;
        event.xbutton.root = DefaultRootWindow(d);
        event.xbutton.x = x;
        event.xbutton.y = y;
        event.xbutton.x_root = left + x;
        event.xbutton.y_root = top + y;
        event.xbutton.button = Button1;
        event.xbutton.same_screen = True;
        mask = kind == Pointer::Press ? ButtonPressMask : ButtonReleaseMask;
    }
    XSendEvent(d, window, False, mask, &event);
    XSync(d, False);
}

void askToClose(std::uintptr_t id)
{
    Connection connection;
    Display *d = connection.get();
    if (!d)
        return;
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = static_cast<Window>(id);
    event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, static_cast<Window>(id), False, NoEventMask, &event);
    XFlush(d);
}

std::vector<std::uintptr_t> windowsTitled(const QString &title)
{
    std::vector<std::uintptr_t> found;
    std::vector<Window> children;
    {
        Connection connection;
        Display *d = connection.get();
        if (!d)
            return found;
        Window root = 0, parent = 0;
        Window *list = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &list, &count))
            return found;
        children.assign(list, list + count);
        if (list)
            XFree(list);
    }
    for (const Window child : children)
        if (inspect(child).title == title)
            found.push_back(child);
    return found;
}

void setRootCardinals(const char *property, const std::vector<long> &values)
{
    Connection connection;
    Display *d = connection.get();
    if (!d)
        return;
    XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, property, False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char *>(values.data()),
                    static_cast<int>(values.size()));
    XSync(d, False);
}

} // namespace x11probe
