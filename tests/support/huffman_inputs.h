// Inputs that drive the Huffman coder to its limits, shared by its tests
// and the kernel check.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace huffman_inputs {
using Bytes = std::vector<uint8_t>;

// Bytes with a two-sided geometric distribution around 0, like prediction
// residuals; smaller p gives flatter data.
inline Bytes SkewedBytes(std::size_t count, double p, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::geometric_distribution<int> magnitude(p);
    Bytes bytes(count);
    for (auto& b : bytes) {
        int m = magnitude(generator);
        b = static_cast<uint8_t>((generator() & 1) ? m : -m);
    }
    return bytes;
}

// Fibonacci-like counts followed by many heavy values give the longest codes.
inline Bytes LongestCodeInput()
{
    const std::size_t small[] = {1, 1, 1, 3, 4, 7, 11, 18, 29, 47, 76, 123, 199, 322, 521, 843, 1364, 2207, 3571};
    Bytes input;
    for (int v = 0; v < 19; ++v) input.insert(input.end(), small[v], static_cast<uint8_t>(v));
    for (int v = 19; v <= 144; ++v) input.insert(input.end(), 4095, static_cast<uint8_t>(v));
    return input;
}

// `small` values with Fibonacci counts (1, 1, 2, 3, ...) under `heavy` values of
// 4095 each: the small ones form a chain, so the longest code grows with both.
inline Bytes FibonacciInput(int small, int heavy)
{
    Bytes input;
    std::size_t a = 1, b = 1;
    for (int v = 0; v < small; ++v) {
        input.insert(input.end(), a, static_cast<uint8_t>(v));
        b += a;
        a = b - a;
    }
    for (int v = small; v < small + heavy; ++v) input.insert(input.end(), 4095, static_cast<uint8_t>(v));
    return input;
}

// `count` bytes whose halves, the encoder's two writers' parts, differ:
// short codes in one and long ones in the other. The first `rare` bytes are
// a value found nowhere else, which moves the bit where the second part
// starts.
inline Bytes UnlikeHalves(std::size_t count, bool flatFirst, int rare, uint32_t seed)
{
    Bytes bytes = SkewedBytes(count, flatFirst ? 0.2 : 0.9, seed);
    const Bytes second = SkewedBytes(count, flatFirst ? 0.9 : 0.2, seed + 1);
    std::copy(second.begin() + long(count / 2), second.end(), bytes.begin() + long(count / 2));
    for (int r = 0; r < rare; ++r) bytes[std::size_t(r)] = 128;
    return bytes;
}

// Short codes on average, broken every `gap` bytes by a run of `burst`
// values from 64 to 127, found nowhere else: their codes, of about 11 bits,
// still allow pairs, and eight of them overflow a doubled step of the
// coding loops.
inline Bytes BurstsOfLongCodes(std::size_t count, std::size_t gap, std::size_t burst, uint32_t seed)
{
    Bytes bytes = SkewedBytes(count, 0.95, seed);
    std::mt19937 generator(seed);
    for (std::size_t i = gap / 2; i + burst <= count; i += gap)
        for (std::size_t j = i; j < i + burst; ++j) bytes[j] = static_cast<uint8_t>(64 + generator() % 64);
    return bytes;
}

} // namespace huffman_inputs
