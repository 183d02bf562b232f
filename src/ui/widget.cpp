#include "ui/widget.h"

#include "platform/window_system.h"
#include "ui/layered_view.h"
#include "ui/native_window.h"


namespace {

constexpr int hitCodeShift = 4;
constexpr std::uint32_t hitCodeMask = 0x7fu << hitCodeShift;

} // namespace

Widget::Widget(const Image &image, const Rect &rect) : image_(image), rect_(rect), flags_(Interactive | Visible)
{
    setHitCode(HitCode::Caption);
}

Widget::~Widget() = default;

void Widget::draw(Canvas &canvas, int)
{
    canvas.blit(image_, rect_);
}

void Widget::setRect(const Rect &rect)
{
    rect_ = rect;
    changed();
}

void Widget::resize(int width, int height)
{
    setRect(Rect{rect_.left, rect_.top, rect_.left + width, rect_.top + height});
}

void Widget::setImage(const Image &image)
{
    image_ = image;
    changed();
}

void Widget::setFlag(Flag flag, bool on)
{
    flags_ = on ? flags_ | flag : flags_ & ~static_cast<std::uint32_t>(flag);
}

int Widget::hitCode() const
{
    // Sign-extend the 7-bit field.
    const int raw = static_cast<int>((flags_ & hitCodeMask) >> hitCodeShift);
    return raw >= 64 ? raw - 128 : raw;
}

void Widget::setHitCode(int code)
{
    flags_ = (flags_ & ~hitCodeMask) | ((static_cast<std::uint32_t>(code) << hitCodeShift) & hitCodeMask);
}

void Widget::changed()
{
    if (view_) view_->redraw();
}

ImageWidget::ImageWidget(const Image &image, const Rect &rect) : Widget(image, rect) {}

ButtonWidget::ButtonWidget(const Image &normal, const Image &hover, const Image &pressed, int left, int top,
                           int width, int height)
    : Widget(normal, Rect{left, top, left + (width > 0 ? width : normal.width()),
                          top + (width > 0 ? height : normal.height())}),
      hover_(hover), pressed_(pressed)
{
    flags_ |= HoverState | PressedState;
    setHitCode(HitCode::Client);
}

void ButtonWidget::draw(Canvas &canvas, int state)
{
    canvas.blit(state == Pressed ? pressed_ : state == Hovered ? hover_ : image_, rect_);
}

LabelWidget::LabelWidget(int left, int top) : Widget(Image(), Rect{left, top, left, top})
{
    flags_ &= ~static_cast<std::uint32_t>(Interactive);
    setText(QString());
}

void LabelWidget::setText(const QString &text)
{
    // utf16() ends with a zero, which the copy keeps.
    text_ = SharedArray<char16_t>::copyOf(reinterpret_cast<const char16_t *>(text.utf16()), text.size() + 1);

    const platform::TextBitmap bitmap = platform::rasteriseText(text, platform::defaultFontPixelSize, platform::TextRendering::Monochrome);
    image_ = textImage(bitmap, defaultColour);
    if (options_ & AutoSize)
        resize(bitmap.width, bitmap.height);
    else
        changed();
}

QString LabelWidget::text() const
{
    if (text_.size() <= 1) return QString();
    return QString::fromUtf16(text_.data(), text_.size() - 1);
}

Image LabelWidget::textImage(const platform::TextBitmap &text, std::uint32_t colour)
{
    Image image(nullptr, PixelSource::Copy, text.width, text.height);
    if (!image.hasPixels() || text.coverage.size() < static_cast<size_t>(text.width) * text.height) return image;
    for (int y = 0; y < text.height; ++y)
        for (int x = 0; x < text.width; ++x)
            if (text.coverage[static_cast<size_t>(y) * text.width + x] != 0) image.setPixelAt(x, y, colour);
    return image;
}
