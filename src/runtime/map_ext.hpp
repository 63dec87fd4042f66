// Typed access to VapourSynth maps: keys, values, map access errors and
// the small helpers the clip operators use.
#pragma once

#include "runtime/api.hpp"
#include "runtime/boundary.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

namespace lumeq::map_ext {

// ------------------------------------------------------------ errors

enum class MapPropertyError { KeyNotFound, TypeMismatch, IndexOutOfBound, MapError };

const char* error_text(MapPropertyError kind) noexcept;
// RuntimeError carrying the kind's text.
[[noreturn]] void raise_map_error(MapPropertyError kind);

// ------------------------------------------------------------ keys

// ASCII letters, digits and underscores; the empty text passes.
bool is_key_text(std::string_view text) noexcept;

// A NUL-terminated key known to follow the key rule. It borrows the text:
// the owner (a std::string, a map) must outlive it.
class KeyStr {
public:
    // Keys read from VapourSynth or written by lumeq itself: a key that
    // breaks the rule is an internal fault.
    static KeyStr checked(const char* key);
    // A key the caller has just passed through is_key_text.
    static KeyStr verified(const char* key) noexcept { return KeyStr(key); }
    const char* c_str() const noexcept { return key_; }

private:
    explicit KeyStr(const char* key) noexcept : key_(key) {}
    const char* key_;
};

// ------------------------------------------------------------ values

// One owned function reference; like VsRef, one taken before a fork is
// left alone in the child.
class FunctionRef {
public:
    FunctionRef() noexcept = default;
    FunctionRef(VSFunction* function, const VSAPI* api) noexcept : function_(function), api_(api) {}
    FunctionRef(FunctionRef&& o) noexcept
        : function_(std::exchange(o.function_, nullptr)), api_(o.api_), generation_(o.generation_) {}
    FunctionRef& operator=(FunctionRef&& o) noexcept {
        if (this != &o) {
            reset();
            function_ = std::exchange(o.function_, nullptr);
            api_ = o.api_;
            generation_ = o.generation_;
        }
        return *this;
    }
    FunctionRef(const FunctionRef&) = delete;
    FunctionRef& operator=(const FunctionRef&) = delete;
    ~FunctionRef() { reset(); }

    VSFunction* get() const noexcept { return function_; }
    void reset() noexcept {
        VSFunction* function = std::exchange(function_, nullptr);
        // A function's free may run a filter's, which may need the GIL on another thread.
        if (function != nullptr && generation_ == process_generation())
            without_gil([&] { api_->freeFunction(function); });
    }

private:
    VSFunction* function_ = nullptr;
    const VSAPI* api_ = nullptr;
    uint32_t generation_ = process_generation();
};

// One map element. Node, frame and function values own their reference.
// Data is a view: into the map it was read from (valid while the map is
// unchanged) or into a buffer the storing caller keeps alive.
struct Value {
    enum class Kind { Int, Float, Binary, Text, VideoNode, AudioNode, VideoFrame, AudioFrame, Function };

    Kind kind = Kind::Int;
    int64_t integer = 0;
    double real = 0.0;
    std::string_view data;
    NodeRef node;
    FrameRef frame;
    FunctionRef function;

    static Value of_int(int64_t v) {
        Value out;
        out.integer = v;
        return out;
    }
    static Value of_float(double v) {
        Value out;
        out.kind = Kind::Float;
        out.real = v;
        return out;
    }
    static Value of_data(Kind kind, std::string_view bytes) {
        Value out;
        out.kind = kind;
        out.data = bytes;
        return out;
    }
    static Value of_video_node(NodeRef node) {
        Value out;
        out.kind = Kind::VideoNode;
        out.node = std::move(node);
        return out;
    }
    static Value of_audio_node(NodeRef node) {
        Value out;
        out.kind = Kind::AudioNode;
        out.node = std::move(node);
        return out;
    }
    static Value of_video_frame(FrameRef frame) {
        Value out;
        out.kind = Kind::VideoFrame;
        out.frame = std::move(frame);
        return out;
    }
    static Value of_audio_frame(FrameRef frame) {
        Value out;
        out.kind = Kind::AudioFrame;
        out.frame = std::move(frame);
        return out;
    }
};

// ------------------------------------------------------------ maps

// Read access to a map. A view: whoever created the map (a MapRef) frees it.
class MapReader {
public:
    MapReader(const VSMap* map, const VSAPI* api) noexcept : map_(map), api_(api) {}

    int num_keys() const noexcept;
    KeyStr key(int index) const;
    // Elements under `key`; a missing key has none.
    int num_elements(KeyStr key) const noexcept;
    // Element `index` of `key`; a read error raises its MapPropertyError.
    Value get(KeyStr key, int index) const;

    const VSAPI* api() const noexcept { return api_; }

protected:
    const VSMap* map_;
    const VSAPI* api_;
};

// Read and write access to a map the caller may change.
class Map : public MapReader {
public:
    Map(VSMap* map, const VSAPI* api) noexcept : MapReader(map, api), target_(map) {}

    // Stores `value` (replace or append mode). The value's own reference is
    // released afterwards, so the map holds the only one the store created.
    // A refused store is the type mismatch error.
    void set(KeyStr key, Value value, int mode);

private:
    VSMap* target_;
};

// ------------------------------------------------------------ helpers

// Each helper raises RuntimeError with the map access error text.
void set_int(VSMap* map, const VSAPI* api, const char* key, int64_t value);
void set_node(VSMap* map, const char* key, NodeRef node);   // replace; consumes
void push_node(VSMap* map, const char* key, NodeRef node);  // append; consumes
NodeRef get_node(const VSMap* map, const VSAPI* api, const char* key);

}  // namespace lumeq::map_ext
