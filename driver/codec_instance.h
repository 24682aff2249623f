// The per-open record of the codec: what one host connection owns.
#pragma once

#include <cstdint>

#include "picture/planar_picture.h"

struct CodecInstance {
    uint32_t frameTag;      // tag of the frame this instance compressed last
    uint32_t quality;       // 9000 at open; only the quality messages use it
    PlanarPicture* picture; // owned; null when no BEGIN is in force
};
