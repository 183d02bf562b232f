#include "platform/window_system.h"

#include <algorithm>
#include <cstring>

#include <windows.h>

namespace platform {

namespace {

// Releases a DC, a font and a bitmap made for one text.
struct TextSurface {
    HDC dc = ::CreateCompatibleDC(nullptr);
    HFONT font = nullptr;
    HBITMAP bitmap = nullptr;
    ~TextSurface()
    {
        if (dc)
            ::DeleteDC(dc);
        if (font)
            ::DeleteObject(font);
        if (bitmap)
            ::DeleteObject(bitmap);
    }
};

// The face of the system's default GUI font at pixelSize pixels per em, grey-scale smoothed or
// not at all (never ClearType, whose colour fringes would end up in a coverage mask).
HFONT createFont(int pixelSize, TextRendering rendering)
{
    LOGFONTW face = {};
    ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof face, &face);
    face.lfHeight = -pixelSize;
    face.lfWidth = 0;
    face.lfQuality = rendering == TextRendering::Monochrome ? NONANTIALIASED_QUALITY : ANTIALIASED_QUALITY;
    return ::CreateFontIndirectW(&face);
}

} // namespace

TextBitmap rasteriseText(const QString &text, int pixelSize, TextRendering rendering)
{
    TextBitmap bitmap;
    if (pixelSize <= 0)
        return bitmap;
    TextSurface surface;
    surface.font = createFont(pixelSize, rendering);
    if (!surface.dc || !surface.font)
        return bitmap;
    ::SelectObject(surface.dc, surface.font);
    TEXTMETRICW metrics = {};
    ::GetTextMetricsW(surface.dc, &metrics);
    bitmap.height = std::max(1, int(metrics.tmHeight));

    // Control characters draw nothing, as on Linux.
    std::wstring drawn;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f)
            drawn += wchar_t(c.unicode());
    }
    SIZE extent = {};
    if (drawn.empty() || !::GetTextExtentPoint32W(surface.dc, drawn.c_str(), int(drawn.size()), &extent))
        return bitmap;
    bitmap.width = std::min(int(extent.cx) + int(metrics.tmOverhang), maxTextWidth);
    if (bitmap.width <= 0) {
        bitmap.width = 0;
        return bitmap;
    }

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = bitmap.width;
    info.bmiHeader.biHeight = -bitmap.height; // top-down, like the coverage rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    surface.bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!surface.bitmap || !bits) {
        bitmap.width = 0;
        return bitmap;
    }
    const size_t pixels = size_t(bitmap.width) * size_t(bitmap.height);
    std::memset(bits, 0, pixels * 4);
    ::SelectObject(surface.dc, surface.bitmap);
    ::SetBkMode(surface.dc, TRANSPARENT);
    ::SetTextColor(surface.dc, RGB(255, 255, 255));
    ::TextOutW(surface.dc, 0, 0, drawn.c_str(), int(drawn.size()));
    ::GdiFlush();

    // White text on black: any channel is the coverage.
    bitmap.coverage.resize(pixels);
    const auto *bgra = static_cast<const std::uint8_t *>(bits);
    for (size_t i = 0; i < pixels; ++i)
        bitmap.coverage[i] = std::max({bgra[4 * i], bgra[4 * i + 1], bgra[4 * i + 2]});
    return bitmap;
}

} // namespace platform
