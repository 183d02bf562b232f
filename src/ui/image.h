#pragma once

#include <QByteArray>

#include <atomic>
#include <cstdint>

// Pixels, as every part of the window's drawing keeps them: 32 bits each, bytes B, G, R, A in
// memory, colour premultiplied by alpha, rows bottom-up (memory row 0 is the lowest row on
// screen).

// A shared pixel record. Borrowed pixel buffers (owns false) are never freed here.
struct ImageData {
    std::atomic<int> refs{1};
    int width = 0;
    int height = 0;
    bool owns = false;
    std::uint8_t *pixels = nullptr;
};

enum class PixelSource {
    Borrow, // use the caller's buffer; it must outlive every handle to the image
    Copy,   // allocate a buffer and copy the caller's pixels into it
};

// A handle to an ImageData. Copies share the record; the last handle frees it (and its
// buffer when the record allocated it). Window thread only, except that handles may be
// copied across threads.
class Image {
public:
    // An empty image: 0 × 0, no pixels.
    Image();
    // width × height pixels. With Copy, or when pixels is null, a zeroed buffer is allocated
    // (and filled from pixels when given). Negative sizes, sizes whose byte count passes
    // 32 bits, or a failed allocation give an image of that size without pixels.
    Image(const std::uint8_t *pixels, PixelSource source, int width, int height);
    Image(const Image &other);
    Image &operator=(const Image &other);
    ~Image();

    int width() const { return m_data->width; }
    int height() const { return m_data->height; }
    bool hasPixels() const { return m_data->pixels != nullptr; }
    std::uint8_t *pixels() { return m_data->pixels; }
    const std::uint8_t *pixels() const { return m_data->pixels; }
    bool ownsPixels() const { return m_data->owns; }
    int refCount() const { return m_data->refs.load(); }
    bool sharesWith(const Image &other) const { return m_data == other.m_data; }

    // The pixel at column x of screen row y (0 the top row) as 0xAARRGGBB (premultiplied);
    // 0 outside the image.
    std::uint32_t pixelAt(int x, int y) const;
    void setPixelAt(int x, int y, std::uint32_t argb);

private:
    void release();
    ImageData *m_data;
};

// A 32-bit bottom-up Windows bitmap file (14-byte file header, 40-byte information header) as
// an image with premultiplied colour. Null image without pixels when the data is not such a
// bitmap or is shorter than its header says.
Image imageFromBitmapFile(const QByteArray &bitmap);

// An embedded image: an LZMA-alone stream whose content is a 32-bit bottom-up bitmap file.
// An empty image when the stream or the bitmap is malformed.
Image loadPackedImage(const unsigned char *bytes, int length);
