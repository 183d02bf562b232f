#include "platform/window_system.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <QByteArray>
#include <QVector>

#include <algorithm>
#include <memory>
#include <mutex>

namespace platform {

namespace {

class FreeTypeLibrary {
public:
    FreeTypeLibrary()
    {
        if (FT_Init_FreeType(&m_library) != 0)
            m_library = nullptr;
    }
    ~FreeTypeLibrary()
    {
        if (m_library)
            FT_Done_FreeType(m_library);
    }
    FreeTypeLibrary(const FreeTypeLibrary &) = delete;
    FreeTypeLibrary &operator=(const FreeTypeLibrary &) = delete;
    FT_Library get() const { return m_library; }

private:
    FT_Library m_library = nullptr;
};

class FreeTypeFace {
public:
    FreeTypeFace() = default;
    ~FreeTypeFace() { reset(); }
    FreeTypeFace(const FreeTypeFace &) = delete;
    FreeTypeFace &operator=(const FreeTypeFace &) = delete;
    bool open(FT_Library library, const QByteArray &file, int index)
    {
        reset();
        if (FT_New_Face(library, file.constData(), index, &m_face) != 0) {
            m_face = nullptr;
            return false;
        }
        return true;
    }
    void reset()
    {
        if (m_face)
            FT_Done_Face(m_face);
        m_face = nullptr;
    }
    FT_Face get() const { return m_face; }

private:
    FT_Face m_face = nullptr;
};

// Owners of fontconfig's objects, so every way out of a lookup releases them.
struct FcConfigRelease {
    void operator()(FcConfig *config) const { FcConfigDestroy(config); }
};
struct FcPatternRelease {
    void operator()(FcPattern *pattern) const { FcPatternDestroy(pattern); }
};
using FontConfig = std::unique_ptr<FcConfig, FcConfigRelease>;
using FontPattern = std::unique_ptr<FcPattern, FcPatternRelease>;

// fontconfig's answer for Chinese sans-serif text: the file and the face index in it.
bool findChineseFont(QByteArray *file, int *index)
{
    const FontConfig config(FcInitLoadConfigAndFonts());
    if (!config)
        return false;
    const FontPattern pattern(FcNameParse(reinterpret_cast<const FcChar8 *>("sans-serif:lang=zh-cn")));
    if (!pattern)
        return false;
    FcConfigSubstitute(config.get(), pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    const FontPattern match(FcFontMatch(config.get(), pattern.get(), &result));
    if (!match)
        return false;
    FcChar8 *path = nullptr; // owned by match
    if (FcPatternGetString(match.get(), FC_FILE, 0, &path) != FcResultMatch || !path)
        return false;
    *file = QByteArray(reinterpret_cast<const char *>(path));
    int faceIndex = 0;
    if (FcPatternGetInteger(match.get(), FC_INDEX, 0, &faceIndex) != FcResultMatch)
        faceIndex = 0;
    *index = faceIndex;
    return true;
}

// One face for the process; FreeType faces are not thread-safe, so every use holds the mutex.
struct FontState {
    std::mutex mutex;
    FreeTypeLibrary library;
    FreeTypeFace face;
    bool ready = false;

    FontState()
    {
        QByteArray file;
        int index = 0;
        ready = library.get() && findChineseFont(&file, &index) && face.open(library.get(), file, index);
    }
};

FontState &fontState()
{
    static FontState state; // initialised once, thread-safe
    return state;
}

struct PlacedGlyph {
    int x = 0; // left of the bitmap relative to the text's origin
    int y = 0; // top of the bitmap relative to the text's top
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> coverage;
};

} // namespace

TextBitmap rasteriseText(const QString &text, int pixelSize, TextRendering rendering)
{
    TextBitmap bitmap;
    FontState &state = fontState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.ready || pixelSize <= 0)
        return bitmap;
    FT_Face face = state.face.get();
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelSize)) != 0)
        return bitmap;

    const int ascender = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
    const int descender = static_cast<int>(face->size->metrics.descender >> 6); // negative
    bitmap.height = std::max(1, ascender - descender);

    std::vector<PlacedGlyph> glyphs;
    int pen = 0;
    int right = 0;
    for (uint codePoint : text.toUcs4()) {
        if (pen >= maxTextWidth)
            break;
        if (codePoint < 0x20 || codePoint == 0x7f)
            continue; // control characters draw nothing
        const FT_UInt glyphIndex = FT_Get_Char_Index(face, codePoint);
        const FT_Int32 flags =
            rendering == TextRendering::Monochrome ? FT_LOAD_RENDER | FT_LOAD_TARGET_MONO : FT_LOAD_RENDER;
        if (FT_Load_Glyph(face, glyphIndex, flags) != 0)
            continue;
        const FT_GlyphSlot slot = face->glyph;
        const FT_Bitmap &source = slot->bitmap;
        PlacedGlyph glyph;
        glyph.x = pen + slot->bitmap_left;
        glyph.y = ascender - slot->bitmap_top;
        glyph.width = static_cast<int>(source.width);
        glyph.height = static_cast<int>(source.rows);
        const bool gray = source.pixel_mode == FT_PIXEL_MODE_GRAY;
        const bool mono = source.pixel_mode == FT_PIXEL_MODE_MONO;
        if ((gray || mono) && glyph.width > 0 && glyph.height > 0) {
            glyph.coverage.resize(static_cast<size_t>(glyph.width) * glyph.height);
            for (int row = 0; row < glyph.height; ++row) {
                const unsigned char *line = source.buffer + static_cast<ptrdiff_t>(row) * source.pitch;
                std::uint8_t *out = glyph.coverage.data() + static_cast<ptrdiff_t>(row) * glyph.width;
                for (int column = 0; column < glyph.width; ++column)
                    out[column] = gray                                 ? line[column]
                        : ((line[column / 8] >> (7 - column % 8)) & 1) ? 255
                                                                       : 0;
            }
            right = std::max(right, glyph.x + glyph.width);
            glyphs.push_back(std::move(glyph));
        }
        pen += static_cast<int>(slot->advance.x >> 6);
    }
    bitmap.width = std::min(std::max(pen, right), maxTextWidth);
    if (bitmap.width <= 0) {
        bitmap.width = 0;
        return bitmap;
    }
    bitmap.coverage.assign(static_cast<size_t>(bitmap.width) * bitmap.height, 0);
    for (const PlacedGlyph &glyph : glyphs) {
        for (int row = 0; row < glyph.height; ++row) {
            const int y = glyph.y + row;
            if (y < 0 || y >= bitmap.height)
                continue;
            for (int column = 0; column < glyph.width; ++column) {
                const int x = glyph.x + column;
                if (x < 0 || x >= bitmap.width)
                    continue;
                std::uint8_t &target = bitmap.coverage[static_cast<size_t>(y) * bitmap.width + x];
                target = std::max(target, glyph.coverage[static_cast<size_t>(row) * glyph.width + column]);
            }
        }
    }
    return bitmap;
}

} // namespace platform
