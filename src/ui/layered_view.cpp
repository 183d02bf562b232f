#include "ui/layered_view.h"

#include <cstring>

LayeredView::LayeredView(platform::WindowSystem &system, ViewEvents *owner) : window_(system, this), owner_(owner)
{
    if (window_.styleFlags() != styleFlags) window_.applyStyleFlags(styleFlags);
}

LayeredView::~LayeredView()
{
    for (Widget *widget : widgets_) delete widget;
}

LayeredView::WidgetList LayeredView::setWidgets(const WidgetList &widgets)
{
    WidgetList previous = widgets_;
    for (Widget *widget : previous)
        if (widget) widget->setView(nullptr);
    widgets_ = widgets;
    pressed_ = nullptr; // it may have left with the old list
    for (Widget *widget : widgets_)
        if (widget) widget->setView(this);
    redraw();
    return previous;
}

void LayeredView::redraw()
{
    if (!backBuffer_.hasPixels()) return;
    // Cleared first: the background is not opaque everywhere (its rounded corners), and
    // composing over the previous frame would make those pixels more opaque with every redraw.
    std::memset(backBuffer_.pixels(), 0, static_cast<size_t>(backBuffer_.width()) * backBuffer_.height() * 4);
    Canvas canvas(backBuffer_);
    for (Widget *widget : widgets_) {
        if (!widget || !widget->hasFlag(Widget::Visible)) continue;
        int state = Widget::Normal;
        if (widget->hasFlag(Widget::Interactive)) {
            if (widget == pressed_ && widget->hasFlag(Widget::PressedState))
                state = Widget::Pressed;
            else if (mouseX_ >= 0 && widget->hasFlag(Widget::HoverState) && widget->rect().contains(mouseX_, mouseY_))
                state = Widget::Hovered;
        }
        widget->draw(canvas, state);
    }
    window_.pushFrame(backBuffer_);
}

void LayeredView::rebuildBackBuffer()
{
    backBuffer_ = Image(nullptr, PixelSource::Copy, window_.width(), window_.height());
    redraw();
}

Widget *LayeredView::widgetAt(int x, int y) const
{
    for (int i = widgets_.size() - 1; i >= 0; --i) {
        Widget *widget = widgets_[i];
        if (widget && widget->hasFlag(Widget::Interactive) && widget->hasFlag(Widget::Visible) &&
            widget->rect().contains(x, y))
            return widget;
    }
    return nullptr;
}

bool LayeredView::mouse(const platform::MouseEvent &event)
{
    switch (event.action) {
    case platform::MouseAction::Press:
        mouseX_ = event.x;
        mouseY_ = event.y;
        pressed_ = widgetAt(event.x, event.y);
        break;
    case platform::MouseAction::Release: {
        Widget *clicked = pressed_;
        if (owner_) owner_->onClick(*this, clicked);
        mouseX_ = event.x;
        mouseY_ = event.y;
        pressed_ = nullptr;
        break;
    }
    case platform::MouseAction::Move:
        mouseX_ = event.x;
        mouseY_ = event.y;
        break;
    case platform::MouseAction::Leave:
        mouseX_ = -1;
        mouseY_ = -1;
        break;
    }
    redraw();
    return true;
}

void LayeredView::moveAndSize(const GeometryChange &change)
{
    if (change.resized) rebuildBackBuffer();
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
    if (owner_) owner_->onTimer(*this, id);
    return true;
}

bool LayeredView::userMessage(int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    return owner_ && owner_->onUserMessage(*this, n, wParam, lParam);
}

bool LayeredView::close()
{
    return owner_ && owner_->onClose(*this);
}
