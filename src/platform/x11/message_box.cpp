#include "platform/x11/message_box.h"

#include <algorithm>

namespace platform {

const char messageBoxTitle[] = "错误";

namespace {

const char kButtonText[] = "确定";

constexpr int kMargin = 24;
constexpr int kMaxTextWidth = 420;
constexpr int kMaxLines = 30;
constexpr int kMinWidth = 240;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 26;
constexpr std::uint32_t kBackground = 0xfff0f0f0u;
constexpr std::uint32_t kTextColour = 0xff000000u;

// colour over an opaque background with coverage 0..255.
std::uint32_t blendOver(std::uint32_t background, std::uint32_t colour, int coverage)
{
    std::uint32_t result = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const int b = (background >> shift) & 0xff;
        const int c = (colour >> shift) & 0xff;
        result |= static_cast<std::uint32_t>((b * (255 - coverage) + c * coverage) / 255) << shift;
    }
    return result | 0xff000000u;
}

} // namespace

QStringList wrapText(const QString &text, int maxWidth, int maxLines)
{
    QStringList lines;
    bool cut = false;
    for (const QString &paragraph : text.split(QLatin1Char('\n'))) {
        if (lines.size() == maxLines) {
            cut = true;
            break;
        }
        QString line;
        for (const QChar c : paragraph) {
            const QString longer = line + c;
            if (!line.isEmpty() && rasteriseText(longer, defaultFontPixelSize).width > maxWidth) {
                lines << line;
                line = QString(c);
                if (lines.size() == maxLines) {
                    cut = true;
                    break;
                }
            } else {
                line = longer;
            }
        }
        if (cut)
            break;
        lines << line;
    }
    if (cut)
        lines.last() += QChar(0x2026);
    return lines;
}

MessageBoxDialog::MessageBoxDialog(const QString &text)
    : m_buttonText(rasteriseText(QString::fromUtf8(kButtonText), defaultFontPixelSize))
{
    int textWidth = 0;
    for (const QString &line : wrapText(text, kMaxTextWidth, kMaxLines)) {
        m_lines.push_back(rasteriseText(line, defaultFontPixelSize));
        textWidth = std::max(textWidth, m_lines.back().width);
        m_lineHeight = std::max(m_lineHeight, m_lines.back().height);
    }
    m_width = std::max(textWidth + 2 * kMargin, kMinWidth);
    const int textHeight = m_lineHeight * static_cast<int>(m_lines.size());
    m_height = kMargin + textHeight + kMargin + kButtonHeight + kMargin / 2;
    m_button = Rect{m_width - kMargin / 2 - kButtonWidth, m_height - kMargin / 2 - kButtonHeight,
                    m_width - kMargin / 2, m_height - kMargin / 2};
}

void MessageBoxDialog::paint(std::uint32_t *pixels) const
{
    std::fill(pixels, pixels + static_cast<size_t>(m_width) * m_height, kBackground);
    for (size_t i = 0; i < m_lines.size(); ++i)
        drawText(pixels, m_lines[i], kMargin, kMargin + static_cast<int>(i) * m_lineHeight);
    const std::uint32_t border = m_hover ? 0xff0078d7u : 0xffadadadu;
    const std::uint32_t fill = m_hover ? 0xffe5f1fbu : 0xffe1e1e1u;
    for (int y = m_button.top; y < m_button.bottom; ++y)
        for (int x = m_button.left; x < m_button.right; ++x) {
            const bool edge = y == m_button.top || y == m_button.bottom - 1 || x == m_button.left
                || x == m_button.right - 1;
            pixels[static_cast<size_t>(y) * m_width + x] = edge ? border : fill;
        }
    drawText(pixels, m_buttonText, m_button.left + (kButtonWidth - m_buttonText.width) / 2,
             m_button.top + (kButtonHeight - m_buttonText.height) / 2);
}

bool MessageBoxDialog::pointerMoved(int x, int y)
{
    const bool over = m_button.contains(x, y);
    if (over == m_hover)
        return false;
    m_hover = over;
    return true;
}

void MessageBoxDialog::buttonReleased(bool primary, int x, int y)
{
    if (primary && m_button.contains(x, y))
        m_done = true;
}

void MessageBoxDialog::drawText(std::uint32_t *pixels, const TextBitmap &bitmap, int x0, int y0) const
{
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = 0; x < bitmap.width; ++x) {
            const int px = x0 + x, py = y0 + y;
            if (px < 0 || py < 0 || px >= m_width || py >= m_height)
                continue;
            std::uint32_t &p = pixels[static_cast<size_t>(py) * m_width + px];
            p = blendOver(p, kTextColour, bitmap.coverage[static_cast<size_t>(y) * bitmap.width + x]);
        }
}

} // namespace platform
