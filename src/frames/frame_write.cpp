#include "frames/frame_write.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace lumeq {
namespace {

// Where byte `written` of the spans lies: the span and the offset into it.
struct Position {
    size_t span;
    size_t offset;
};

// Moves `at` on by `bytes`, past every span they finish (empty ones too).
void advance(const std::vector<ByteSpan>& spans, Position& at, size_t bytes) noexcept {
    at.offset += bytes;
    while (at.span < spans.size() && at.offset >= spans[at.span].size) at.offset -= spans[at.span++].size;
}

Position locate(const std::vector<ByteSpan>& spans, size_t written) noexcept {
    Position at{0, 0};
    advance(spans, at, written);
    return at;
}

WriteProgress write_in_pieces(int fd, const std::vector<ByteSpan>& spans, size_t written, size_t piece) noexcept {
    for (Position at = locate(spans, written); at.span < spans.size();) {
        const ByteSpan& span = spans[at.span];
        size_t size = std::min(piece, span.size - at.offset);
        ssize_t done = ::write(fd, span.data + at.offset, size);
        if (done < 0) return {written, errno};
        written += static_cast<size_t>(done);
        advance(spans, at, static_cast<size_t>(done));
    }
    return {written, 0};
}

// A head and three unpadded planes fit one call; padded rows take several.
constexpr size_t kVectorsPerCall = 64;

WriteProgress write_gathered(int fd, const std::vector<ByteSpan>& spans, size_t written) noexcept {
    std::array<iovec, kVectorsPerCall> vectors;
    for (Position at = locate(spans, written); at.span < spans.size();) {
        size_t count = 0;
        for (size_t i = at.span; i < spans.size() && count < vectors.size(); ++i, ++count) {
            size_t skip = i == at.span ? at.offset : 0;
            vectors[count] = {const_cast<uint8_t*>(spans[i].data + skip), spans[i].size - skip};
        }
        ssize_t done = ::writev(fd, vectors.data(), static_cast<int>(count));
        if (done < 0) return {written, errno};
        written += static_cast<size_t>(done);
        advance(spans, at, static_cast<size_t>(done));
    }
    return {written, 0};
}

}  // namespace

WriteProgress write_spans(int fd, const std::vector<ByteSpan>& spans, size_t written, size_t piece) noexcept {
    return piece > 0 ? write_in_pieces(fd, spans, written, piece) : write_gathered(fd, spans, written);
}

}  // namespace lumeq
