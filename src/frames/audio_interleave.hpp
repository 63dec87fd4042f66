// Interleaving an audio frame's channels into one sample-by-sample stream,
// as WAVE-style files and raw PCM pipes store them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumeq {

// Bytes each sample of `itemsize`-byte storage can be written as: the whole
// sample, or its high three bytes when 24-bit audio is packed.
bool interleave_width_supported(int itemsize, int width);

// Writes `samples` sample frames of `count` channels to `out` (which holds
// samples × count × width bytes), channel 0 first in each sample frame,
// each sample as its high `width` bytes in little-endian order.
void interleave(const uint8_t* const* channels, int count, size_t samples, int itemsize, int width, uint8_t* out);

}  // namespace lumeq
