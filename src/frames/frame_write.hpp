#pragma once
// Writing a frame's bytes to a descriptor, with no Python state: the callers
// run it with the interpreter lock let go.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumeq {

struct ByteSpan {
    const uint8_t* data;
    size_t size;
};

struct WriteProgress {
    size_t written;  // bytes of the spans written so far
    int error;       // the errno that stopped the writing, 0 once all went
};

// Writes the spans in order, starting `written` bytes in: in pieces of at
// most `piece` bytes, or with as few writev calls as the descriptor takes
// when `piece` is 0. Stops at the first error, EINTR included, so that the
// caller can handle signals and resume from `written`.
WriteProgress write_spans(int fd, const std::vector<ByteSpan>& spans, size_t written, size_t piece) noexcept;

}  // namespace lumeq
