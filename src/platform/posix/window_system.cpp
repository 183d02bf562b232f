#include "platform/window_system.h"

#include <QByteArray>

#include <cstdlib>

namespace platform {

std::unique_ptr<WindowSystem> openWindowSystem(BackendChoice choice)
{
    switch (choice) {
    case BackendChoice::Headless:
        return openHeadlessWindowSystem();
    case BackendChoice::X11:
        return openX11WindowSystem();
    case BackendChoice::Automatic:
        break;
    }
    const char *headless = std::getenv("KORVEL_HEADLESS");
    const char *display = std::getenv("DISPLAY");
    if ((headless && QByteArray(headless) == "1") || !display || !*display)
        return openHeadlessWindowSystem();
    // A display that is named but cannot be reached leaves the job running unseen rather
    // than not at all.
    std::unique_ptr<WindowSystem> x11 = openX11WindowSystem();
    return x11 ? std::move(x11) : openHeadlessWindowSystem();
}

} // namespace platform
