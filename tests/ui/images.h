#pragma once

#include "ui/image.h"

#include <cstdint>

// An image of the given size whose every pixel is argb (0xAARRGGBB, as setPixelAt takes it).
inline Image filled(int width, int height, std::uint32_t argb)
{
    Image image(nullptr, PixelSource::Copy, width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixelAt(x, y, argb);
    return image;
}
