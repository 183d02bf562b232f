#include "ui/widget.h"

#include "platform/window_system.h"
#include "ui/layered_view.h"
#include "ui/native_window.h"

namespace {

constexpr int hitCodeShift = 4;
constexpr std::uint32_t hitCodeMask = 0x7fu << hitCodeShift;

} // namespace

Widget::Widget(const Image &image, const Rect &rect)
    : m_image(image), m_rect(rect), m_flags(Interactive | Visible)
{
    setHitCode(HitCode::Caption);
}

Widget::~Widget() = default;

void Widget::draw(Canvas &canvas, int)
{
    canvas.blit(m_image, m_rect);
}

void Widget::setRect(const Rect &rect)
{
    m_rect = rect;
    changed();
}

void Widget::resize(int width, int height)
{
    setRect(Rect{m_rect.left, m_rect.top, m_rect.left + width, m_rect.top + height});
}

void Widget::setImage(const Image &image)
{
    m_image = image;
    changed();
}

void Widget::setFlag(Flag flag, bool on)
{
    m_flags = on ? m_flags | flag : m_flags & ~static_cast<std::uint32_t>(flag);
}

int Widget::hitCode() const
{
    // Sign-extend the 7-bit field.
    const int raw = static_cast<int>((m_flags & hitCodeMask) >> hitCodeShift);
    return raw >= 64 ? raw - 128 : raw;
}

void Widget::setHitCode(int code)
{
    m_flags = (m_flags & ~hitCodeMask) | ((static_cast<std::uint32_t>(code) << hitCodeShift) & hitCodeMask);
}

void Widget::changed()
{
    if (m_view)
        m_view->redraw();
}

ImageWidget::ImageWidget(const Image &image, const Rect &rect) : Widget(image, rect) {}

ButtonWidget::ButtonWidget(const Image &normal, const Image &hover, const Image &pressed, int left, int top,
                           int width, int height)
    : Widget(normal,
             Rect{left, top, left + (width > 0 ? width : normal.width()),
                  top + (width > 0 ? height : normal.height())}),
      m_hover(hover),
      m_pressed(pressed)
{
    m_flags |= HoverState | PressedState;
    setHitCode(HitCode::Client);
}

void ButtonWidget::draw(Canvas &canvas, int state)
{
    canvas.blit(state == Pressed ? m_pressed : state == Hovered ? m_hover : m_image, m_rect);
}

LabelWidget::LabelWidget(int left, int top) : Widget(Image(), Rect{left, top, left, top})
{
    m_flags &= ~static_cast<std::uint32_t>(Interactive);
    setText(QString());
}

void LabelWidget::setText(const QString &text)
{
    // utf16() ends with a zero, which the copy keeps.
    m_text = SharedArray<char16_t>::copyOf(reinterpret_cast<const char16_t *>(text.utf16()), text.size() + 1);

    const platform::TextBitmap bitmap =
        platform::rasteriseText(text, platform::defaultFontPixelSize, platform::TextRendering::Monochrome);
    m_image = textImage(bitmap, defaultColour);
    if (m_options & AutoSize)
        resize(bitmap.width, bitmap.height);
    else
        changed();
}

QString LabelWidget::text() const
{
    if (m_text.size() <= 1)
        return QString();
    return QString::fromUtf16(m_text.data(), m_text.size() - 1);
}

Image LabelWidget::textImage(const platform::TextBitmap &text, std::uint32_t colour)
{
    Image image(nullptr, PixelSource::Copy, text.width, text.height);
    if (!image.hasPixels() || text.coverage.size() < static_cast<size_t>(text.width) * text.height)
        return image;
    for (int y = 0; y < text.height; ++y)
        for (int x = 0; x < text.width; ++x)
            if (text.coverage[static_cast<size_t>(y) * text.width + x] != 0)
                image.setPixelAt(x, y, colour);
    return image;
}
