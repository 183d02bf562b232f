#pragma once

#include "ui/native_window.h"
#include "ui/shared_array.h"
#include "ui/widget.h"

class LayeredView;

// What a view tells its owner, on the window thread.
class ViewEvents {
public:
    virtual ~ViewEvents() = default;
    // A mouse button came up; widget is the one pressed earlier (wherever the button was
    // released), or null when the press was on no widget or there was no press.
    virtual void onClick(LayeredView &view, Widget *widget) = 0;
    virtual void onTimer(LayeredView &view, int id) = 0;
    // Returns whether it handled the message.
    virtual bool onUserMessage(LayeredView &view, int n, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // The system asked to close the window (a window manager's close, a session ending).
    // Returns whether it handled the request; unhandled, the window stays.
    virtual bool onClose(LayeredView &) { return false; }
};

// A window drawn entirely in software: an ordered list of widgets (first = bottom) composed
// into a premultiplied back buffer the size of the window, the whole frame pushed to the
// window system after every change. Owns its NativeWindow and its widgets. Window thread only.
class LayeredView final : public WindowHandler {
public:
    using WidgetList = SharedArray<Widget *>;

    // Style flags of the window: frameless, task-bar button, per-pixel alpha.
    static constexpr WindowStyleFlags styleFlags = Frameless | TaskbarButton | Layered;

    // The owner builds the widgets and creates the window once the view exists (never from
    // inside this constructor: the owner is not whole yet). owner must outlive the view.
    LayeredView(platform::WindowSystem &system, ViewEvents *owner);
    // Destroys every widget of the list, then the window.
    ~LayeredView() override;
    LayeredView(const LayeredView &) = delete;
    LayeredView &operator=(const LayeredView &) = delete;

    NativeWindow &window() { return m_window; }
    const NativeWindow &window() const { return m_window; }

    // Installs widgets (the view takes them over) and redraws; returns the previous list,
    // whose widgets the caller now owns (their view pointers cleared).
    WidgetList setWidgets(const WidgetList &widgets);

    // Clears the back buffer, composes every visible widget in list order into it and pushes
    // the frame.
    // Nothing before the window's first size is known.
    void redraw();
    // A new zeroed back buffer of the window's logical size, then redraw.
    void rebuildBackBuffer();
    // The topmost interactive, visible widget containing the client point, or null.
    Widget *widgetAt(int x, int y) const;

    const Image &backBuffer() const { return m_backBuffer; }
    Widget *pressedWidget() const { return m_pressed; }
    int mouseX() const { return m_mouseX; }
    int mouseY() const { return m_mouseY; }

    // WindowHandler
    bool mouse(const platform::MouseEvent &event) override;
    void moveAndSize(const GeometryChange &change) override;
    bool hitTest(int x, int y, int *code) override;
    bool timer(int id) override;
    bool userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool close() override;

private:
    NativeWindow m_window;
    ViewEvents *m_owner;
    WidgetList m_widgets;
    Widget *m_pressed = nullptr;
    int m_mouseX = -1;
    int m_mouseY = -1;
    Image m_backBuffer;
};
