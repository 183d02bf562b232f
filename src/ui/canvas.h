#pragma once

#include "platform/window_system.h"
#include "ui/image.h"

using Rect = platform::Rect;

// The target a widget draws into: the view's back buffer.
class Canvas {
public:
    explicit Canvas(const Image &target) : m_target(target) {}

    // Composes image over the target inside rect (client coordinates, right and bottom
    // exclusive), premultiplied source over destination, per byte:
    //   destination = destination × (255 − source alpha) / 255 + source   (integer division).
    // The image's bottom-left pixel lands on the bottom-left of rect clipped to the target, so
    // a narrower rect shows the image's left part and a lower one its bottom rows. Nothing is
    // drawn when rect misses the target or the image is empty.
    void blit(const Image &image, const Rect &rect);

    const Image &target() const { return m_target; }

private:
    Image m_target;
};
