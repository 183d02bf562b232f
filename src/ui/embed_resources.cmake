# cmake -P script: writes OUTPUT, a C++ file with one byte array per packed image and the
# packedImage() lookup of ui/resources.h. NAMES (comma-separated) are in the order of
# PackedImageId.
string(REPLACE "," ";" NAMES "${NAMES}")
set(body "")
set(cases "")
set(index 0)
foreach(name IN LISTS NAMES)
  file(READ ${RESOURCE_DIR}/${name}.bmp.lzma hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n    " bytes "${bytes}")
  if(size EQUAL 0)
    set(bytes "0x00") # a missing image: no bytes, but C++ has no empty arrays
  endif()
  string(APPEND body "const unsigned char ${name}[] = {\n    ${bytes}\n};\n")
  string(APPEND cases "    case ${index}: return PackedResource{${name}, ${size}};\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated from resources/ by src/ui/embed_resources.cmake; do not edit.
#include \"ui/resources.h\"

namespace {
${body}} // namespace

PackedResource packedImage(PackedImageId id)
{
    switch (static_cast<int>(id)) {
${cases}    default: return PackedResource{};
    }
}
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
