#include "frames/audio_interleave.hpp"

#include <cstring>

namespace lumeq {
namespace {

// Loads and stores go through memcpy: the output offset is the caller's, so
// its samples may sit at any alignment.
template <class T>
T load(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <class T, int Channels>
void interleave_fixed(const uint8_t* const* channels, size_t samples, uint8_t* out) {
    for (size_t i = 0; i < samples; ++i)
        for (int c = 0; c < Channels; ++c)
            std::memcpy(out + (i * Channels + c) * sizeof(T), channels[c] + i * sizeof(T), sizeof(T));
}

template <class T>
void interleave_whole(const uint8_t* const* channels, int count, size_t samples, uint8_t* out) {
    // Stereo and mono are nearly all audio; fixed counts let the loop unroll.
    if (count == 2) return interleave_fixed<T, 2>(channels, samples, out);
    if (count == 1) return void(std::memcpy(out, channels[0], samples * sizeof(T)));
    for (int c = 0; c < count; ++c) {
        uint8_t* to = out + c * sizeof(T);
        const uint8_t* from = channels[c];
        for (size_t i = 0; i < samples; ++i, to += count * sizeof(T), from += sizeof(T)) std::memcpy(to, from, sizeof(T));
    }
}

// 24-bit samples sit in the high three bytes of their 32-bit word.
void interleave_packed24(const uint8_t* const* channels, int count, size_t samples, uint8_t* out) {
    for (size_t i = 0; i < samples; ++i)
        for (int c = 0; c < count; ++c, out += 3) {
            uint32_t value = load<uint32_t>(channels[c] + i * 4);
            out[0] = static_cast<uint8_t>(value >> 8);
            out[1] = static_cast<uint8_t>(value >> 16);
            out[2] = static_cast<uint8_t>(value >> 24);
        }
}

}  // namespace

bool interleave_width_supported(int itemsize, int width) {
    return (width == itemsize && (itemsize == 2 || itemsize == 4)) || (itemsize == 4 && width == 3);
}

void interleave(const uint8_t* const* channels, int count, size_t samples, int itemsize, int width, uint8_t* out) {
    if (width == 3) return interleave_packed24(channels, count, samples, out);
    if (itemsize == 2) return interleave_whole<uint16_t>(channels, count, samples, out);
    interleave_whole<uint32_t>(channels, count, samples, out);
}

}  // namespace lumeq
