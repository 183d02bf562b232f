#pragma once

// The images compiled into the program (made by tools/make_images, kept in resources/):
// LZMA-alone streams of 32-bit bottom-up bitmap files, for loadPackedImage.
enum class PackedImageId {
    Background,   // 493 × 348
    Slogan,       // 189 × 15
    Farewell,     // 188 × 39
    Track,        // 433 × 3
    Fill,         // 433 × 3
    ButtonNormal, // 12 × 12
    ButtonHover,  // 12 × 12
    Icon,         // 48 × 48, the window icon
};

struct PackedResource {
    const unsigned char *data = nullptr;
    int size = 0;
};

// The bytes of one embedded image; they live as long as the program.
PackedResource packedImage(PackedImageId id);
