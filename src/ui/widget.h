#pragma once

#include "ui/canvas.h"
#include "ui/image.h"
#include "ui/shared_array.h"

#include <QString>

#include <cstdint>

class LayeredView;
namespace platform {
struct TextBitmap;
}

// A rectangle of the window drawn from an image. Widgets belong to one view's list, which
// owns them; any change to a widget in a view redraws the whole view. Window thread only.
class Widget {
public:
    enum Flag : std::uint32_t {
        Interactive = 1u << 0,  // hit-tested, gets hover and pressed states
        Visible = 1u << 1,      // drawn (and, with Interactive, hit-tested)
        HoverState = 1u << 2,   // may be drawn hovered
        PressedState = 1u << 3, // may be drawn pressed
    };
    enum State { Normal = 0, Hovered = 1, Pressed = 2 };

    Widget(const Image &image, const Rect &rect);
    virtual ~Widget();
    Widget(const Widget &) = delete;
    Widget &operator=(const Widget &) = delete;

    virtual void draw(Canvas &canvas, int state);

    LayeredView *view() const { return m_view; }
    void setView(LayeredView *view) { m_view = view; }

    Rect rect() const { return m_rect; }
    void setRect(const Rect &rect);
    // Keeps left and top.
    void resize(int width, int height);

    // A handle sharing the widget's image.
    Image image() const { return m_image; }
    void setImage(const Image &image);

    std::uint32_t flags() const { return m_flags; }
    bool hasFlag(Flag flag) const { return (m_flags & flag) != 0; }
    void setFlag(Flag flag, bool on);
    // The hit code answered where this widget is the topmost interactive one: a signed
    // 7-bit value (HitCode in ui/native_window.h) kept in bits 4 to 10 of the flags.
    int hitCode() const;
    void setHitCode(int code);

protected:
    void changed();

    LayeredView *m_view = nullptr;
    Image m_image;
    Rect m_rect;
    std::uint32_t m_flags;
};

// Blits its image into its rectangle in every state.
class ImageWidget : public Widget {
public:
    ImageWidget(const Image &image, const Rect &rect);
};

// An image per state: normal, hovered, pressed. A width of 0 or less takes the size of the
// normal image.
class ButtonWidget : public Widget {
public:
    ButtonWidget(const Image &normal, const Image &hover, const Image &pressed, int left, int top,
                 int width = 0, int height = 0);
    void draw(Canvas &canvas, int state) override;

private:
    Image m_hover;
    Image m_pressed;
};

// One line of text in one colour, left-aligned at the widget's top-left. Not interactive, so
// hits pass to what lies beneath. Glyph pixels are not blended: every pixel a glyph touches
// gets the full colour, every other one stays transparent.
class LabelWidget : public Widget {
public:
    enum Option : std::uint32_t { AutoSize = 1u << 0 }; // the rectangle follows the text

    // Every text is drawn opaque white (premultiplied 0xAARRGGBB).
    static constexpr std::uint32_t defaultColour = 0xffffffffu;

    LabelWidget(int left, int top);

    // Renders text once, then resizes to it (AutoSize) or redraws.
    void setText(const QString &text);
    QString text() const;

    // The image of a rasterised text: colour where coverage is non-zero, 0 elsewhere.
    static Image textImage(const platform::TextBitmap &text, std::uint32_t colour);

private:
    std::uint32_t m_options = AutoSize;
    SharedArray<char16_t> m_text; // with its terminating zero
};
