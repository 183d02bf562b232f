#include "ui/canvas.h"

#include <algorithm>

void Canvas::blit(const Image &image, const Rect &rect)
{
    if (!image.hasPixels() || !m_target.hasPixels())
        return;
    const int targetWidth = m_target.width();
    const int targetHeight = m_target.height();
    const Rect clipped{std::max(rect.left, 0), std::max(rect.top, 0), std::min(rect.right, targetWidth),
                       std::min(rect.bottom, targetHeight)};
    if (image.width() <= 0 || image.height() <= 0 || clipped.width() <= 0 || clipped.height() <= 0)
        return;

    const int copyWidth = std::min(image.width(), clipped.width());
    const int copyHeight = std::min(image.height(), clipped.height());
    // Rows are stored bottom-up in both buffers, so starting both at their lowest rows anchors
    // the image at the clipped rectangle's bottom-left.
    const std::uint8_t *source = image.pixels();
    std::uint8_t *destination = m_target.pixels()
        + (static_cast<size_t>(targetHeight - clipped.bottom) * targetWidth + clipped.left) * 4;
    const size_t sourceStride = static_cast<size_t>(image.width()) * 4;
    const size_t destinationStride = static_cast<size_t>(targetWidth) * 4;
    for (int row = 0; row < copyHeight; ++row) {
        const std::uint8_t *s = source;
        std::uint8_t *d = destination;
        for (int column = 0; column < copyWidth; ++column, s += 4, d += 4) {
            const unsigned inverseAlpha = 255u - s[3];
            // Exact for premultiplied sources (colour ≤ alpha): the sum never passes 255.
            d[0] = static_cast<std::uint8_t>(d[0] * inverseAlpha / 255 + s[0]);
            d[1] = static_cast<std::uint8_t>(d[1] * inverseAlpha / 255 + s[1]);
            d[2] = static_cast<std::uint8_t>(d[2] * inverseAlpha / 255 + s[2]);
            d[3] = static_cast<std::uint8_t>(d[3] * inverseAlpha / 255 + s[3]);
        }
        source += sourceStride;
        destination += destinationStride;
    }
}
