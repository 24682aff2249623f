// A planar picture laid out as the codec lays it out, inside a vector with
// guard bytes on both sides so that stray writes show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "picture/planar_picture.h"

// A picture laid out as the codec lays it out, inside a vector with guard
// bytes on both sides so that stray writes show.
struct TestPicture {
    static constexpr std::size_t Guard = 32;
    static constexpr uint8_t GuardValue = 0xA5;
    std::vector<uint8_t> storage;
    PlanarPicture picture{};

    TestPicture(uint32_t width, uint32_t height, uint8_t fill = GuardValue)
        : storage(2 * std::size_t(width) * height + 2 * Guard, GuardValue)
    {
        picture.width = width;
        picture.height = height;
        picture.yRowLength = width;
        picture.chromaRowLength = width >> 1;
        picture.buffer = storage.data() + Guard;
        picture.yPlane = picture.buffer;
        picture.uPlane = picture.yPlane + std::size_t(width) * height;
        picture.vPlane = picture.uPlane + std::size_t(width >> 1) * height;
        picture.allocated = 1;
        std::memset(picture.buffer, fill, PlaneBytes());
    }
    std::size_t PlaneBytes() const
    {
        return (std::size_t(picture.width) + 2 * (picture.width >> 1)) * picture.height;
    }
    uint8_t& Y(uint32_t r, uint32_t j) { return picture.yPlane[std::size_t(r) * picture.width + j]; }
    uint8_t& U(uint32_t r, uint32_t k) { return picture.uPlane[std::size_t(r) * picture.chromaRowLength + k]; }
    uint8_t& V(uint32_t r, uint32_t k) { return picture.vPlane[std::size_t(r) * picture.chromaRowLength + k]; }
    // Everything outside the three planes: the guards and an odd width's spare bytes.
    bool OutsideIntact() const
    {
        const std::size_t planes = Guard + PlaneBytes();
        for (std::size_t i = 0; i < storage.size(); ++i) {
            if ((i < Guard || i >= planes) && storage[i] != GuardValue) return false;
        }
        return true;
    }
};

