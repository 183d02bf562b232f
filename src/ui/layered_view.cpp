#include "ui/layered_view.h"

#include <cstring>

LayeredView::LayeredView(platform::WindowSystem &system, ViewEvents *owner)
    : m_window(system, this), m_owner(owner)
{
    if (m_window.styleFlags() != styleFlags)
        m_window.applyStyleFlags(styleFlags);
}

LayeredView::~LayeredView()
{
    for (Widget *widget : m_widgets)
        delete widget;
}

LayeredView::WidgetList LayeredView::setWidgets(const WidgetList &widgets)
{
    WidgetList previous = m_widgets;
    for (Widget *widget : previous)
        if (widget)
            widget->setView(nullptr);
    m_widgets = widgets;
    m_pressed = nullptr; // it may have left with the old list
    for (Widget *widget : m_widgets)
        if (widget)
            widget->setView(this);
    redraw();
    return previous;
}

void LayeredView::redraw()
{
    if (!m_backBuffer.hasPixels())
        return;
    // Cleared first: the background is not opaque everywhere (its rounded corners), and
    // composing over the previous frame would make those pixels more opaque with every redraw.
    std::memset(m_backBuffer.pixels(), 0,
                static_cast<size_t>(m_backBuffer.width()) * m_backBuffer.height() * 4);
    Canvas canvas(m_backBuffer);
    for (Widget *widget : m_widgets) {
        if (!widget || !widget->hasFlag(Widget::Visible))
            continue;
        int state = Widget::Normal;
        if (widget->hasFlag(Widget::Interactive)) {
            if (widget == m_pressed && widget->hasFlag(Widget::PressedState))
                state = Widget::Pressed;
            else if (m_mouseX >= 0 && widget->hasFlag(Widget::HoverState)
                     && widget->rect().contains(m_mouseX, m_mouseY))
                state = Widget::Hovered;
        }
        widget->draw(canvas, state);
    }
    m_window.pushFrame(m_backBuffer);
}

void LayeredView::rebuildBackBuffer()
{
    m_backBuffer = Image(nullptr, PixelSource::Copy, m_window.width(), m_window.height());
    redraw();
}

Widget *LayeredView::widgetAt(int x, int y) const
{
    for (int i = m_widgets.size() - 1; i >= 0; --i) {
        Widget *widget = m_widgets[i];
        if (widget && widget->hasFlag(Widget::Interactive) && widget->hasFlag(Widget::Visible)
            && widget->rect().contains(x, y))
            return widget;
    }
    return nullptr;
}

bool LayeredView::mouse(const platform::MouseEvent &event)
{
    switch (event.action) {
    case platform::MouseAction::Press:
        m_mouseX = event.x;
        m_mouseY = event.y;
        m_pressed = widgetAt(event.x, event.y);
        break;
    case platform::MouseAction::Release: {
        Widget *clicked = m_pressed;
        if (m_owner)
            m_owner->onClick(*this, clicked);
        m_mouseX = event.x;
        m_mouseY = event.y;
        m_pressed = nullptr;
        break;
    }
    case platform::MouseAction::Move:
        m_mouseX = event.x;
        m_mouseY = event.y;
        break;
    case platform::MouseAction::Leave:
        m_mouseX = -1;
        m_mouseY = -1;
        break;
    }
    redraw();
    return true;
}

void LayeredView::moveAndSize(const GeometryChange &change)
{
    if (change.resized)
        rebuildBackBuffer();
}

bool LayeredView::hitTest(int x, int y, int *code)
{
    const Widget *widget = widgetAt(x, y);
    // Where no widget lies the point belongs to nothing: neither a drag nor a click starts.
    *code = widget ? widget->hitCode() : HitCode::Nowhere;
    return true;
}

bool LayeredView::timer(int id)
{
    if (m_owner)
        m_owner->onTimer(*this, id);
    return true;
}

bool LayeredView::userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    return m_owner && m_owner->onUserMessage(*this, n, wParam, lParam);
}

bool LayeredView::close()
{
    return m_owner && m_owner->onClose(*this);
}
