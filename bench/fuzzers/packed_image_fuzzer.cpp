// A packed image as the progress window loads its own: LZMA-alone around a bitmap file.
#include "fuzz_support.h"

#include "ui/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    loadPackedImage(data, int(size));
    return 0;
}
