// FreeType and fontconfig, loaded when text is first rasterised (see deferred_library.h).
#include "platform/posix/deferred_library.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

namespace {
platform::DeferredLibrary freetype("libfreetype.so.6");
platform::DeferredLibrary fontconfig("libfontconfig.so.1");
} // namespace

extern "C" {

// The forwarders' parameter lists are macro arguments, which clang-format would lay out as
// expressions ("Display * d").
// clang-format off

// Without the libraries there are no fonts: text is left undrawn.
KORVEL_DEFERRED(freetype, FT_Init_FreeType, (FT_Library *library), (library),
                FT_Err_Cannot_Open_Resource)
KORVEL_DEFERRED(fontconfig, FcInitLoadConfigAndFonts, (), (), nullptr)

KORVEL_DEFERRED(freetype, FT_Done_FreeType, (FT_Library library), (library), 0)
KORVEL_DEFERRED(freetype, FT_New_Face,
                (FT_Library library, const char *path, FT_Long index, FT_Face *face),
                (library, path, index, face), FT_Err_Cannot_Open_Resource)
KORVEL_DEFERRED(freetype, FT_Done_Face, (FT_Face face), (face), 0)
KORVEL_DEFERRED(freetype, FT_Set_Pixel_Sizes, (FT_Face face, FT_UInt width, FT_UInt height),
                (face, width, height), FT_Err_Invalid_Argument)
KORVEL_DEFERRED(freetype, FT_Get_Char_Index, (FT_Face face, FT_ULong code), (face, code), 0)
KORVEL_DEFERRED(freetype, FT_Load_Glyph, (FT_Face face, FT_UInt glyph, FT_Int32 flags),
                (face, glyph, flags), FT_Err_Invalid_Argument)

KORVEL_DEFERRED(fontconfig, FcConfigDestroy, (FcConfig *config), (config), )
KORVEL_DEFERRED(fontconfig, FcConfigSubstitute,
                (FcConfig *config, FcPattern *pattern, FcMatchKind kind), (config, pattern, kind),
                FcFalse)
KORVEL_DEFERRED(fontconfig, FcDefaultSubstitute, (FcPattern *pattern), (pattern), )
KORVEL_DEFERRED(fontconfig, FcFontMatch, (FcConfig *config, FcPattern *pattern, FcResult *result),
                (config, pattern, result), nullptr)
KORVEL_DEFERRED(fontconfig, FcNameParse, (const FcChar8 *name), (name), nullptr)
KORVEL_DEFERRED(fontconfig, FcPatternDestroy, (FcPattern *pattern), (pattern), )
KORVEL_DEFERRED(fontconfig, FcPatternGetInteger,
                (const FcPattern *pattern, const char *object, int index, int *value),
                (pattern, object, index, value), FcResultNoMatch)
KORVEL_DEFERRED(fontconfig, FcPatternGetString,
                (const FcPattern *pattern, const char *object, int index, FcChar8 **value),
                (pattern, object, index, value), FcResultNoMatch)

// clang-format on

} // extern "C"
