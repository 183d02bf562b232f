#include "ui/image.h"

#include "engine/bounded_buffer.h"
#include "install/lzma_stream.h"

#include <QBuffer>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// The largest bitmap file a packed image may unpack to: 4096 × 4096 pixels and its header, far
// beyond the window's images.
constexpr qint64 maxUnpackedImageBytes = 4096LL * 4096 * 4 + 1024;

// Byte count of width × height pixels, or -1 when it is negative or does not fit 32 bits.
qint64 pixelBytes(int width, int height)
{
    if (width < 0 || height < 0)
        return -1;
    const qint64 bytes = static_cast<qint64>(width) * height * 4;
    return bytes > std::numeric_limits<std::uint32_t>::max() ? -1 : bytes;
}

quint32 readLe32(const QByteArray &data, int offset)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData()) + offset;
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

quint16 readLe16(const QByteArray &data, int offset)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData()) + offset;
    return quint16(p[0] | p[1] << 8);
}

constexpr int bitmapHeaderBytes = 54; // file header 14 + information header 40

} // namespace

Image::Image() : m_data(new ImageData) {}

Image::Image(const std::uint8_t *pixels, PixelSource source, int width, int height) : m_data(new ImageData)
{
    m_data->width = width;
    m_data->height = height;
    if (source == PixelSource::Borrow && pixels) {
        m_data->pixels = const_cast<std::uint8_t *>(pixels);
        return;
    }
    const qint64 bytes = pixelBytes(width, height);
    if (bytes < 0)
        return;
    auto *buffer = static_cast<std::uint8_t *>(std::calloc(bytes > 0 ? static_cast<size_t>(bytes) : 1, 1));
    if (!buffer)
        return;
    if (pixels && bytes > 0)
        std::memcpy(buffer, pixels, static_cast<size_t>(bytes));
    m_data->pixels = buffer;
    m_data->owns = true;
}

Image::Image(const Image &other) : m_data(other.m_data)
{
    m_data->refs.fetch_add(1);
}

Image &Image::operator=(const Image &other)
{
    if (m_data != other.m_data) {
        other.m_data->refs.fetch_add(1);
        release();
        m_data = other.m_data;
    }
    return *this;
}

Image::~Image()
{
    release();
}

void Image::release()
{
    if (m_data->refs.fetch_sub(1) == 1) {
        if (m_data->owns)
            std::free(m_data->pixels);
        delete m_data;
    }
    m_data = nullptr;
}

std::uint32_t Image::pixelAt(int x, int y) const
{
    if (!hasPixels() || x < 0 || y < 0 || x >= width() || y >= height())
        return 0;
    const std::uint8_t *p = m_data->pixels + (static_cast<size_t>(height() - 1 - y) * width() + x) * 4;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
        | std::uint32_t(p[3]) << 24;
}

void Image::setPixelAt(int x, int y, std::uint32_t argb)
{
    if (!hasPixels() || x < 0 || y < 0 || x >= width() || y >= height())
        return;
    std::uint8_t *p = m_data->pixels + (static_cast<size_t>(height() - 1 - y) * width() + x) * 4;
    p[0] = argb & 0xff;
    p[1] = (argb >> 8) & 0xff;
    p[2] = (argb >> 16) & 0xff;
    p[3] = argb >> 24;
}

Image imageFromBitmapFile(const QByteArray &bitmap)
{
    if (bitmap.size() < bitmapHeaderBytes || bitmap.at(0) != 'B' || bitmap.at(1) != 'M')
        return Image();
    const quint32 offset = readLe32(bitmap, 10);
    const qint32 width = static_cast<qint32>(readLe32(bitmap, 18));
    const qint32 height = static_cast<qint32>(readLe32(bitmap, 22));
    const quint16 bitsPerPixel = readLe16(bitmap, 28);
    const quint32 compression = readLe32(bitmap, 30);
    // Only what the program embeds is read: 32 bits, uncompressed, bottom-up (positive height).
    if (bitsPerPixel != 32 || compression != 0 || width <= 0 || height <= 0)
        return Image();
    const qint64 bytes = pixelBytes(width, height);
    if (bytes < 0 || offset < bitmapHeaderBytes || offset + bytes > static_cast<qint64>(bitmap.size()))
        return Image();

    Image image(reinterpret_cast<const std::uint8_t *>(bitmap.constData()) + offset, PixelSource::Copy, width,
                height);
    if (!image.hasPixels())
        return Image();
    std::uint8_t *p = image.pixels();
    for (qint64 i = 0; i < bytes; i += 4) {
        const unsigned alpha = p[i + 3];
        p[i] = static_cast<std::uint8_t>(p[i] * alpha / 255);
        p[i + 1] = static_cast<std::uint8_t>(p[i + 1] * alpha / 255);
        p[i + 2] = static_cast<std::uint8_t>(p[i + 2] * alpha / 255);
    }
    return image;
}

Image loadPackedImage(const unsigned char *bytes, int length)
{
    if (!bytes || length <= 0)
        return Image();
    QByteArray packed = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), length);
    QBuffer in(&packed);
    QByteArray unpacked;
    // The header's declared size is the packer's word only; the bitmap may not grow past this.
    BoundedBuffer out(&unpacked, maxUnpackedImageBytes);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return Image();
    if (!decodeLzmaStream(&in, &out))
        return Image();
    out.close();
    return imageFromBitmapFile(unpacked);
}
