// The software compositor: blit's integer arithmetic and its bottom-left anchoring, the
// decoding of packed bitmaps, and the embedded images.
#include "images.h"
#include "support/temp_home.h"
#include "support/tools.h"
#include "ui/canvas.h"
#include "ui/image.h"
#include "ui/resources.h"
#include "ui/shared_array.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// An image whose every pixel is distinct: colour bytes from its column and screen row.
Image numbered(int width, int height)
{
    Image image(nullptr, PixelSource::Copy, width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixelAt(x, y, 0xff000000u | std::uint32_t(x) << 8 | std::uint32_t(y));
    return image;
}

constexpr std::uint32_t background = 0xff102030u;

} // namespace

TEST(Blit, ComposesPremultipliedSourceOverDestinationPerByte)
{
    Image target = filled(4, 1, background);
    Canvas canvas(target);
    // Transparent: the destination stays; opaque: replaced; half: exact integer arithmetic.
    Image source(nullptr, PixelSource::Copy, 4, 1);
    source.setPixelAt(0, 0, 0x00000000u);
    source.setPixelAt(1, 0, 0xffa0b0c0u);
    source.setPixelAt(2, 0, 0x80402010u);
    source.setPixelAt(3, 0, 0x01010101u);
    canvas.blit(source, Rect{0, 0, 4, 1});

    EXPECT_EQ(target.pixelAt(0, 0), background);
    EXPECT_EQ(target.pixelAt(1, 0), 0xffa0b0c0u);
    // d × (255 − 128) / 255 + s: a 255×127/255+128 = 255, r 16×127/255+64 = 71,
    // g 32×127/255+32 = 47, b 48×127/255+16 = 39.
    EXPECT_EQ(target.pixelAt(2, 0), 0xff472f27u);
    // d × 254 / 255 + 1 truncates: 16 → 15 + 1 = 16, 32 → 31 + 1, 48 → 47 + 1, 255 → 254 + 1.
    EXPECT_EQ(target.pixelAt(3, 0), 0xff102030u);
}

TEST(Blit, NarrowOrLowRectangleShowsTheLeftPartAndTheBottomRows)
{
    const Image source = numbered(6, 4);
    {
        Image target = filled(10, 10, background);
        Canvas(target).blit(source, Rect{2, 3, 5, 7}); // 3 wide, full height
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(target.pixelAt(2 + x, 3 + y), source.pixelAt(x, y));
        EXPECT_EQ(target.pixelAt(5, 3), background);
        EXPECT_EQ(target.pixelAt(1, 3), background);
    }
    {
        Image target = filled(10, 10, background);
        Canvas(target).blit(source, Rect{2, 3, 8, 5}); // full width, 2 rows high
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 6; ++x)
                EXPECT_EQ(target.pixelAt(2 + x, 3 + y), source.pixelAt(x, 2 + y));
        EXPECT_EQ(target.pixelAt(2, 2), background);
        EXPECT_EQ(target.pixelAt(2, 5), background);
    }
    {
        // A rectangle larger than the image: the image sits in its bottom-left corner.
        Image target = filled(10, 10, background);
        Canvas(target).blit(source, Rect{1, 1, 9, 9});
        EXPECT_EQ(target.pixelAt(1, 5), source.pixelAt(0, 0));
        EXPECT_EQ(target.pixelAt(6, 8), source.pixelAt(5, 3));
        EXPECT_EQ(target.pixelAt(1, 4), background);
        EXPECT_EQ(target.pixelAt(7, 8), background);
    }
}

TEST(Blit, ClippingAtTheRightAndBottomEdgesKeepsTheBottomLeftAnchor)
{
    const Image source = numbered(6, 4);
    Image target = filled(8, 8, background);
    // 6 × 4 at (5, 6): clipped to (5, 6)–(8, 8), 3 × 2. The image's bottom rows land there.
    Canvas(target).blit(source, Rect{5, 6, 11, 10});
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(target.pixelAt(5 + x, 6 + y), source.pixelAt(x, 2 + y)) << x << "," << y;
    EXPECT_EQ(target.pixelAt(4, 7), background);
    EXPECT_EQ(target.pixelAt(5, 5), background);

    // Left and top clipping too: the anchor is the clipped rectangle's bottom-left.
    Image other = filled(8, 8, background);
    Canvas(other).blit(source, Rect{-2, -1, 4, 3});
    EXPECT_EQ(other.pixelAt(0, 2), source.pixelAt(0, 3));
    EXPECT_EQ(other.pixelAt(3, 0), source.pixelAt(3, 1));
    EXPECT_EQ(other.pixelAt(4, 0), background);
}

TEST(Blit, DrawsNothingForEmptyOrMissedRectangles)
{
    const Image source = numbered(3, 3);
    Image target = filled(4, 4, background);
    Canvas canvas(target);
    canvas.blit(source, Rect{2, 2, 2, 4});   // empty
    canvas.blit(source, Rect{3, 3, 1, 1});   // inverted
    canvas.blit(source, Rect{4, 0, 8, 4});   // beyond the right edge
    canvas.blit(source, Rect{-5, -5, 0, 0}); // beyond the top-left
    canvas.blit(Image(), Rect{0, 0, 4, 4});  // empty image
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(target.pixelAt(x, y), background);
}

namespace {

// A 32-bit bottom-up bitmap file of width × height straight-alpha pixels (screen rows top-down).
QByteArray bitmapFile(int width, int height, const std::vector<std::uint32_t> &pixels, int extraOffset = 0)
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
    out.append("BM");
    le32(54 + extraOffset + width * height * 4);
    le32(0);
    le32(54 + extraOffset);
    le32(40);
    le32(width);
    le32(height);
    le16(1);
    le16(32);
    for (int i = 0; i < 6; ++i)
        le32(0);
    out.append(QByteArray(extraOffset, '\x7f'));
    for (int y = height - 1; y >= 0; --y)
        for (int x = 0; x < width; ++x)
            le32(pixels[static_cast<size_t>(y) * width + x]);
    return out;
}

QByteArray lzmaAlone(const QByteArray &data)
{
    QByteArray packed;
    QTemporaryDir dir;
    writeFile(dir.path() + "/in", data);
    EXPECT_EQ(runTool("xz", {"--format=lzma", "--keep", dir.path() + "/in"}), 0);
    return readFile(dir.path() + "/in.lzma");
}

} // namespace

TEST(PackedImage, DecodesAndPremultipliesKeepingRowsBottomUp)
{
    // Screen rows top-down: the top row straight colours at several alphas, the bottom row opaque.
    const std::vector<std::uint32_t> straight = {0x80ff8040u, 0x00ffffffu, 0xff123456u,
                                                 0xff010203u, 0x01ffffffu, 0xfe808080u};
    const QByteArray packed = lzmaAlone(bitmapFile(3, 2, straight, 8));
    const Image image =
        loadPackedImage(reinterpret_cast<const unsigned char *>(packed.constData()), packed.size());
    ASSERT_EQ(image.width(), 3);
    ASSERT_EQ(image.height(), 2);
    EXPECT_EQ(image.pixelAt(0, 0), 0x80804020u); // 255×128/255 = 128, 128×128/255 = 64, 64×128/255 = 32
    EXPECT_EQ(image.pixelAt(1, 0), 0x00000000u);
    EXPECT_EQ(image.pixelAt(2, 0), 0xff123456u);
    EXPECT_EQ(image.pixelAt(0, 1), 0xff010203u);
    EXPECT_EQ(image.pixelAt(1, 1), 0x01010101u);
    EXPECT_EQ(image.pixelAt(2, 1), 0xfe7f7f7fu); // 128×254/255 = 127
    // Memory row 0 is the bottom screen row.
    EXPECT_EQ(image.pixels()[0], 0x03);
}

TEST(PackedImage, RefusesWhatIsNotAComplete32BitBitmap)
{
    const QByteArray good = bitmapFile(2, 2, {1, 2, 3, 4});
    EXPECT_TRUE(imageFromBitmapFile(good).hasPixels());
    EXPECT_FALSE(imageFromBitmapFile(good.left(good.size() - 1)).hasPixels());
    EXPECT_FALSE(imageFromBitmapFile(good.left(20)).hasPixels());
    QByteArray bits24 = good;
    bits24[28] = 24;
    EXPECT_FALSE(imageFromBitmapFile(bits24).hasPixels());
    QByteArray topDown = good;
    topDown[25] = char(0xff); // height negative
    EXPECT_FALSE(imageFromBitmapFile(topDown).hasPixels());
    QByteArray huge = good;
    huge[21] = 0x7f; // width ~2^31: the byte count passes 32 bits
    EXPECT_FALSE(imageFromBitmapFile(huge).hasPixels());

    const QByteArray packed = lzmaAlone(good);
    EXPECT_FALSE(
        loadPackedImage(reinterpret_cast<const unsigned char *>(packed.constData()), packed.size() - 5)
            .hasPixels());
    EXPECT_FALSE(loadPackedImage(nullptr, 0).hasPixels());
}

TEST(PackedImage, EmbeddedImagesDecodeToTheirSizes)
{
    struct Expected {
        PackedImageId id;
        int width, height;
    };
    const Expected expected[] = {{PackedImageId::Background, 493, 348}, {PackedImageId::Slogan, 189, 15},
                                 {PackedImageId::Farewell, 188, 39},    {PackedImageId::Track, 433, 3},
                                 {PackedImageId::Fill, 433, 3},         {PackedImageId::ButtonNormal, 12, 12},
                                 {PackedImageId::ButtonHover, 12, 12},  {PackedImageId::Icon, 48, 48}};
    int packedBytes = 0;
    for (const Expected &e : expected) {
        const PackedResource resource = packedImage(e.id);
        packedBytes += resource.size;
        const Image image = loadPackedImage(resource.data, resource.size);
        EXPECT_TRUE(image.hasPixels()) << static_cast<int>(e.id);
        EXPECT_EQ(image.width(), e.width) << static_cast<int>(e.id);
        EXPECT_EQ(image.height(), e.height) << static_cast<int>(e.id);
    }
    EXPECT_LT(packedBytes, 64 * 1024);

    // What the layout relies on: an opaque panel with a transparent corner pixel, an opaque
    // fill, a button bar across rows 5 and 6 only.
    const PackedResource bg = packedImage(PackedImageId::Background);
    const Image background = loadPackedImage(bg.data, bg.size);
    EXPECT_EQ(background.pixelAt(0, 0) >> 24, 0u);
    EXPECT_EQ(background.pixelAt(100, 100), 0xff282b30u);
    EXPECT_EQ(background.pixelAt(100, 0), 0xff171a1du);
    const PackedResource fl = packedImage(PackedImageId::Fill);
    EXPECT_EQ(loadPackedImage(fl.data, fl.size).pixelAt(200, 1), 0xfff29400u);
    const PackedResource bn = packedImage(PackedImageId::ButtonNormal);
    const Image button = loadPackedImage(bn.data, bn.size);
    EXPECT_EQ(button.pixelAt(0, 4), 0u);
    EXPECT_EQ(button.pixelAt(0, 5), 0xff72767du);
    EXPECT_EQ(button.pixelAt(11, 6), 0xff72767du);
    EXPECT_EQ(button.pixelAt(0, 7), 0u);
}

TEST(SharedArray, SharesOneRecordAndRefusesSizesPast32Bits)
{
    SharedArray<int> a = SharedArray<int>::allocate(3);
    ASSERT_EQ(a.size(), 3);
    EXPECT_EQ(a[2], 0);
    SharedArray<int> b = a;
    b[1] = 7;
    EXPECT_EQ(a[1], 7);
    EXPECT_EQ(a.refCount(), 2);
    b = SharedArray<int>();
    EXPECT_EQ(a.refCount(), 1);

    EXPECT_TRUE(SharedArray<int>::allocate(-1).isNull());
    EXPECT_TRUE(SharedArray<Rect>::allocate(0x10000000).isNull()); // 16 × 2^28 bytes = 2^32
    EXPECT_FALSE(SharedArray<char16_t>::allocate(0).isNull());
}

TEST(Image, HandlesShareAndBorrowedPixelsStayTheCallers)
{
    std::uint8_t pixels[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    {
        Image borrowed(pixels, PixelSource::Borrow, 2, 1);
        EXPECT_FALSE(borrowed.ownsPixels());
        Image copy = borrowed;
        EXPECT_TRUE(copy.sharesWith(borrowed));
        EXPECT_EQ(copy.refCount(), 2);
        copy.setPixelAt(0, 0, 0xffffffffu);
    }
    EXPECT_EQ(pixels[0], 0xff); // written through, not freed
    const Image copied(pixels, PixelSource::Copy, 2, 1);
    EXPECT_TRUE(copied.ownsPixels());
    EXPECT_EQ(copied.pixelAt(1, 0), 0x08070605u);
    EXPECT_FALSE(Image(nullptr, PixelSource::Copy, -1, 4).hasPixels());
}
