// Draws the progress window's artwork procedurally, writes each picture as a 32-bit bottom-up
// bitmap file with straight alpha, and packs it as an LZMA-alone stream with xz.
// Usage: make_images OUTPUT_DIR
#include "platform/window_system.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Colour {
    double r, g, b, a; // straight, 0..1
};

Colour rgb(std::uint32_t hex, double alpha = 1.0)
{
    return Colour{((hex >> 16) & 0xff) / 255.0, ((hex >> 8) & 0xff) / 255.0, (hex & 0xff) / 255.0, alpha};
}

// Straight-alpha picture, rows top-down while drawing.
class Picture {
public:
    Picture(int width, int height)
        : m_width(width), m_height(height), m_pixels(static_cast<size_t>(width) * height, Colour{0, 0, 0, 0})
    {
    }
    int width() const { return m_width; }
    int height() const { return m_height; }
    Colour &at(int x, int y) { return m_pixels[static_cast<size_t>(y) * m_width + x]; }

    // Paints colour over the pixel with the given coverage (0..1), "over" compositing.
    void paint(int x, int y, Colour c, double coverage)
    {
        if (x < 0 || y < 0 || x >= m_width || y >= m_height || coverage <= 0)
            return;
        Colour &d = at(x, y);
        const double sa = c.a * std::min(1.0, coverage);
        const double outA = sa + d.a * (1 - sa);
        if (outA <= 0)
            return;
        d.r = (c.r * sa + d.r * d.a * (1 - sa)) / outA;
        d.g = (c.g * sa + d.g * d.a * (1 - sa)) / outA;
        d.b = (c.b * sa + d.b * d.a * (1 - sa)) / outA;
        d.a = outA;
    }

    void setAlpha(int x, int y, double alpha) { at(x, y).a = alpha; }

    // 32-bit bottom-up bitmap file, bytes B, G, R, A, straight alpha.
    QByteArray bitmapFile() const
    {
        QByteArray out;
        auto le32 = [&out](std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                out.append(char((v >> (8 * i)) & 0xff));
        };
        auto le16 = [&out](std::uint16_t v) {
            out.append(char(v & 0xff));
            out.append(char(v >> 8));
        };
        const std::uint32_t dataSize = static_cast<std::uint32_t>(m_width * m_height * 4);
        out.append("BM");
        le32(54 + dataSize);
        le32(0);
        le32(54);
        le32(40);
        le32(static_cast<std::uint32_t>(m_width));
        le32(static_cast<std::uint32_t>(m_height));
        le16(1);
        le16(32);
        le32(0);
        le32(dataSize);
        le32(2835);
        le32(2835);
        le32(0);
        le32(0);
        for (int y = m_height - 1; y >= 0; --y)
            for (int x = 0; x < m_width; ++x) {
                const Colour &c = m_pixels[static_cast<size_t>(y) * m_width + x];
                auto byte = [](double v) {
                    return char(static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)));
                };
                out.append(byte(c.b));
                out.append(byte(c.g));
                out.append(byte(c.r));
                out.append(byte(c.a));
            }
        return out;
    }

private:
    int m_width, m_height;
    std::vector<Colour> m_pixels;
};

// Signed distance from (px, py) to a rounded rectangle's outline; negative inside.
double roundedRectDistance(double px, double py, double w, double h, double radius)
{
    const double qx = std::abs(px - w / 2) - (w / 2 - radius);
    const double qy = std::abs(py - h / 2) - (h / 2 - radius);
    const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
    return outside + std::min(std::max(qx, qy), 0.0) - radius;
}

// Fraction of the pixel at (x, y) for which inside(sx, sy) holds, 4 × 4 samples.
template <typename Inside>
double coverage(int x, int y, Inside inside)
{
    int hits = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (inside(x + (i + 0.5) / 4, y + (j + 0.5) / 4))
                ++hits;
    return hits / 16.0;
}

const std::uint32_t panelColour = 0x282B30;
const std::uint32_t borderColour = 0x171A1D;
const std::uint32_t orange = 0xF29400;

void drawRing(Picture &p, double cx, double cy, double radius, double halfWidth, Colour c)
{
    for (int y = 0; y < p.height(); ++y)
        for (int x = 0; x < p.width(); ++x) {
            const double cov = coverage(x, y, [&](double sx, double sy) {
                return std::abs(std::hypot(sx - cx, sy - cy) - radius) <= halfWidth;
            });
            p.paint(x, y, c, cov);
        }
}

void drawDisc(Picture &p, double cx, double cy, double radius, Colour c)
{
    for (int y = 0; y < p.height(); ++y)
        for (int x = 0; x < p.width(); ++x)
            p.paint(x, y, c, coverage(x, y, [&](double sx, double sy) {
                        return std::hypot(sx - cx, sy - cy) <= radius;
                    }));
}

// The mark: an open orange ring with a dot, the ring's gap facing up-right.
void drawMark(Picture &p, double cx, double cy, double radius, double halfWidth, Colour ringColour,
              Colour dotColour)
{
    for (int y = 0; y < p.height(); ++y)
        for (int x = 0; x < p.width(); ++x) {
            const double cov = coverage(x, y, [&](double sx, double sy) {
                const double angle = std::atan2(cy - sy, sx - cx); // counter-clockwise from east
                const bool inGap = angle > 0.35 && angle < 1.05;
                return !inGap && std::abs(std::hypot(sx - cx, sy - cy) - radius) <= halfWidth;
            });
            p.paint(x, y, ringColour, cov);
        }
    const double dotAngle = 0.7;
    drawDisc(p, cx + radius * std::cos(dotAngle), cy - radius * std::sin(dotAngle), halfWidth * 1.15,
             dotColour);
}

Picture background()
{
    const int w = 493, h = 348;
    Picture p(w, h);
    const double radius = 4.0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double inside = coverage(
                x, y, [&](double sx, double sy) { return roundedRectDistance(sx, sy, w, h, radius) <= 0; });
            const double inner = coverage(
                x, y, [&](double sx, double sy) { return roundedRectDistance(sx, sy, w, h, radius) <= -1; });
            Colour c = rgb(borderColour);
            p.paint(x, y, c, inside);
            p.paint(x, y, rgb(panelColour), inner);
            // The panel is only as opaque as its outline covers the pixel.
            p.setAlpha(x, y, inside);
        }
    // Faint rings spreading from the mark, clipped to the inside of the border.
    Picture art(w, h);
    const double cx = 372, cy = 138;
    for (int i = 0; i < 4; ++i)
        drawRing(art, cx, cy, 78 + 30 * i, 0.9, rgb(orange, 0.28 - 0.06 * i));
    drawMark(art, cx, cy, 44, 7.5, rgb(orange), rgb(0xFFB547));
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x) {
            if (roundedRectDistance(x + 0.5, y + 0.5, w, h, radius) > -2)
                continue;
            const Colour &a = art.at(x, y);
            if (a.a > 0)
                p.paint(x, y, Colour{a.r, a.g, a.b, 1.0}, a.a);
        }
    return p;
}

// White text lines on transparent, left-aligned, the largest size that fits.
Picture textPicture(int w, int h, const QStringList &lines)
{
    Picture p(w, h);
    int size = 20;
    std::vector<platform::TextBitmap> bitmaps;
    for (; size > 6; --size) {
        bitmaps.clear();
        int width = 0, height = 0;
        for (const QString &line : lines) {
            bitmaps.push_back(platform::rasteriseText(line, size));
            width = std::max(width, bitmaps.back().width);
            height += bitmaps.back().height;
        }
        if (width <= w && height <= h)
            break;
    }
    int top = 0;
    const int total =
        static_cast<int>(bitmaps.size()) > 0 ? bitmaps[0].height * static_cast<int>(bitmaps.size()) : 0;
    top = (h - total) / 2;
    for (const platform::TextBitmap &b : bitmaps) {
        for (int y = 0; y < b.height; ++y)
            for (int x = 0; x < b.width; ++x)
                p.paint(x, top + y, rgb(0xFFFFFF), b.coverage[static_cast<size_t>(y) * b.width + x] / 255.0);
        top += b.height;
    }
    std::printf("text %dx%d at %d px\n", w, h, size);
    return p;
}

Picture bar(std::uint32_t colour, bool softEnds)
{
    const int w = 433, h = 3;
    Picture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p.paint(x, y, rgb(colour), 1.0);
    if (softEnds) {
        for (int x : {0, w - 1}) {
            p.setAlpha(x, 0, 133 / 255.0);
            p.setAlpha(x, h - 1, 133 / 255.0);
            p.setAlpha(x, 1, 245 / 255.0);
        }
        for (int x : {1, w - 2}) {
            p.setAlpha(x, 0, 245 / 255.0);
            p.setAlpha(x, h - 1, 245 / 255.0);
        }
    }
    return p;
}

Picture minimiseButton(std::uint32_t colour)
{
    Picture p(12, 12);
    for (int y = 5; y <= 6; ++y)
        for (int x = 0; x < 12; ++x)
            p.paint(x, y, rgb(colour), 1.0);
    return p;
}

Picture icon()
{
    const int s = 48;
    Picture p(s, s);
    for (int y = 0; y < s; ++y)
        for (int x = 0; x < s; ++x)
            p.paint(x, y, rgb(panelColour), coverage(x, y, [&](double sx, double sy) {
                        return roundedRectDistance(sx, sy, s, s, 10) <= 0;
                    }));
    drawMark(p, s / 2.0, s / 2.0, 14, 3.6, rgb(orange), rgb(0xFFB547));
    return p;
}

bool pack(const QString &directory, const QString &name, const Picture &picture)
{
    const QByteArray bitmap = picture.bitmapFile();
    QProcess xz;
    // The dictionary only needs to hold one bitmap; the decoder allocates all of it.
    xz.start(QStringLiteral("xz"),
             {QStringLiteral("--format=lzma"), QStringLiteral("--lzma1=preset=9e,dict=1MiB"),
              QStringLiteral("--stdout")});
    if (!xz.waitForStarted())
        return false;
    xz.write(bitmap);
    xz.closeWriteChannel();
    if (!xz.waitForFinished(60000) || xz.exitCode() != 0)
        return false;
    QFile out(directory + QLatin1Char('/') + name + QStringLiteral(".bmp.lzma"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray packed = xz.readAllStandardOutput();
    out.write(packed);
    std::printf("%s: %d × %d, %d bytes packed\n", qPrintable(name), picture.width(), picture.height(),
                int(packed.size()));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_images OUTPUT_DIR\n");
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(directory);
    const bool ok = pack(directory, "background", background())
        && pack(directory, "slogan", textPicture(189, 15, {QStringLiteral("轻巧安装，即刻畅享精彩")}))
        && pack(directory, "farewell",
                textPicture(188, 39,
                            {QStringLiteral("感谢您一路以来的陪伴"), QStringLiteral("期待与您再次相见")}))
        && pack(directory, "track", bar(0x63676D, true)) && pack(directory, "fill", bar(orange, false))
        && pack(directory, "button_normal", minimiseButton(0x72767D))
        && pack(directory, "button_hover", minimiseButton(orange)) && pack(directory, "icon", icon());
    return ok ? 0 : 1;
}
