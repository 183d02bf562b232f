// Xlib, loaded when a window system is first opened (see deferred_library.h).
#include "platform/posix/deferred_library.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {
platform::DeferredLibrary x11("libX11.so.6");
} // namespace

extern "C" {

// The forwarders' parameter lists are macro arguments, which clang-format would lay out as
// expressions ("Display * d").
// clang-format off

// Without the library there is no display: the program goes on without a window.
KORVEL_DEFERRED(x11, XOpenDisplay, (const char *name), (name), nullptr)
KORVEL_DEFERRED(x11, XSetErrorHandler, (XErrorHandler handler), (handler), nullptr)

KORVEL_DEFERRED(x11, XCloseDisplay, (Display *d), (d), 0)
KORVEL_DEFERRED(x11, XAllocSizeHints, (), (), nullptr)
KORVEL_DEFERRED(x11, XChangeProperty,
                (Display *d, Window w, Atom property, Atom type, int format, int mode,
                 const unsigned char *data, int count),
                (d, w, property, type, format, mode, data, count), 0)
KORVEL_DEFERRED(x11, XCreateColormap, (Display *d, Window w, Visual *visual, int alloc),
                (d, w, visual, alloc), 0)
KORVEL_DEFERRED(x11, XCreateGC, (Display *d, Drawable drawable, unsigned long mask, XGCValues *values),
                (d, drawable, mask, values), nullptr)
KORVEL_DEFERRED(x11, XCreateImage,
                (Display *d, Visual *visual, unsigned int depth, int format, int offset,
                 char *data, unsigned int width, unsigned int height, int pad, int bytesPerLine),
                (d, visual, depth, format, offset, data, width, height, pad, bytesPerLine),
                nullptr)
KORVEL_DEFERRED(x11, XCreateWindow,
                (Display *d, Window parent, int x, int y, unsigned int width, unsigned int height,
                 unsigned int border, int depth, unsigned int windowClass, Visual *visual,
                 unsigned long mask, XSetWindowAttributes *attributes),
                (d, parent, x, y, width, height, border, depth, windowClass, visual, mask,
                 attributes),
                0)
KORVEL_DEFERRED(x11, XDestroyWindow, (Display *d, Window w), (d, w), 0)
KORVEL_DEFERRED(x11, XFlush, (Display *d), (d), 0)
KORVEL_DEFERRED(x11, XFree, (void *data), (data), 0)
KORVEL_DEFERRED(x11, XFreeColormap, (Display *d, Colormap colormap), (d, colormap), 0)
KORVEL_DEFERRED(x11, XFreeGC, (Display *d, GC gc), (d, gc), 0)
KORVEL_DEFERRED(x11, XGetWindowProperty,
                (Display *d, Window w, Atom property, long offset, long length, Bool remove,
                 Atom requested, Atom *type, int *format, unsigned long *count,
                 unsigned long *after, unsigned char **data),
                (d, w, property, offset, length, remove, requested, type, format, count, after,
                 data),
                BadImplementation)
KORVEL_DEFERRED(x11, XIconifyWindow, (Display *d, Window w, int screen), (d, w, screen), 0)
KORVEL_DEFERRED(x11, XInternAtom, (Display *d, const char *name, Bool onlyIfExists),
                (d, name, onlyIfExists), 0)
KORVEL_DEFERRED(x11, XLookupKeysym, (XKeyEvent *event, int index), (event, index), NoSymbol)
KORVEL_DEFERRED(x11, XMapRaised, (Display *d, Window w), (d, w), 0)
KORVEL_DEFERRED(x11, XMapWindow, (Display *d, Window w), (d, w), 0)
KORVEL_DEFERRED(x11, XMatchVisualInfo,
                (Display *d, int screen, int depth, int visualClass, XVisualInfo *info),
                (d, screen, depth, visualClass, info), 0)
KORVEL_DEFERRED(x11, XMoveResizeWindow,
                (Display *d, Window w, int x, int y, unsigned int width, unsigned int height),
                (d, w, x, y, width, height), 0)
KORVEL_DEFERRED(x11, XMoveWindow, (Display *d, Window w, int x, int y), (d, w, x, y), 0)
KORVEL_DEFERRED(x11, XNextEvent, (Display *d, XEvent *event), (d, event), 0)
KORVEL_DEFERRED(x11, XPending, (Display *d), (d), 0)
KORVEL_DEFERRED(x11, XPutImage,
                (Display *d, Drawable drawable, GC gc, XImage *image, int sourceX, int sourceY,
                 int x, int y, unsigned int width, unsigned int height),
                (d, drawable, gc, image, sourceX, sourceY, x, y, width, height), 0)
KORVEL_DEFERRED(x11, XSelectInput, (Display *d, Window w, long mask), (d, w, mask), 0)
KORVEL_DEFERRED(x11, XSendEvent,
                (Display *d, Window w, Bool propagate, long mask, XEvent *event),
                (d, w, propagate, mask, event), 0)
KORVEL_DEFERRED(x11, XSetClassHint, (Display *d, Window w, XClassHint *hint), (d, w, hint), 0)
KORVEL_DEFERRED(x11, XSetTransientForHint, (Display *d, Window w, Window owner), (d, w, owner), 0)
KORVEL_DEFERRED(x11, XSetWMNormalHints, (Display *d, Window w, XSizeHints *hints), (d, w, hints), )
KORVEL_DEFERRED(x11, XSetWMProtocols, (Display *d, Window w, Atom *protocols, int count),
                (d, w, protocols, count), 0)
KORVEL_DEFERRED(x11, XTranslateCoordinates,
                (Display *d, Window from, Window to, int x, int y, int *toX, int *toY,
                 Window *child),
                (d, from, to, x, y, toX, toY, child), False)
KORVEL_DEFERRED(x11, XUngrabPointer, (Display *d, Time time), (d, time), 0)
KORVEL_DEFERRED(x11, XUnmapWindow, (Display *d, Window w), (d, w), 0)

// clang-format on

} // extern "C"
