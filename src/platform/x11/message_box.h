#pragma once

// The X11 backend's message box: its look, its drawing and what input does to it, apart from
// the window it is shown in (x11_window_system.cpp makes that window, turns its X events into
// the calls below and runs the box's modal loop). Nothing of Xlib here.

#include "platform/window_system.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace platform {

// The caption a message box gets.
extern const char messageBoxTitle[];

// The lines of a box's text: its own line breaks, and long lines broken where they would pass
// maxWidth pixels. A box must fit on the screen and its text may hold a name from the network
// of any length, so after maxLines lines the rest is left out and the last line ends in "…".
QStringList wrapText(const QString &text, int maxWidth, int maxLines);

// One open box: the text wrapped into lines above an OK button in the bottom right corner,
// sized to the text, drawn on an opaque background. It ends when OK is clicked or accepted.
class MessageBoxDialog {
public:
    explicit MessageBoxDialog(const QString &text);

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool isDone() const { return m_done; }

    // Draws the whole box into pixels (width × height, 32-bit 0xAARRGGBB, top-down rows); the
    // button lit while the pointer is over it.
    void paint(std::uint32_t *pixels) const;

    // The pointer moved to x, y (box coordinates); true when the box must be drawn again.
    bool pointerMoved(int x, int y);
    // A button was released at x, y: the primary button over OK ends the box.
    void buttonReleased(bool primary, int x, int y);
    // The key that accepts the box was pressed, or its window was closed: with only OK to
    // choose, either counts as OK.
    void accept() { m_done = true; }

private:
    void drawText(std::uint32_t *pixels, const TextBitmap &bitmap, int x0, int y0) const;

    std::vector<TextBitmap> m_lines;
    TextBitmap m_buttonText;
    int m_lineHeight = 0;
    int m_width = 0;
    int m_height = 0;
    Rect m_button;
    bool m_hover = false;
    bool m_done = false;
};

} // namespace platform
