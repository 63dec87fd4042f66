#include "runtime/map_ext.hpp"

#include <climits>
#include <cstring>

namespace lumeq::map_ext {

// ------------------------------------------------------------ errors

const char* error_text(MapPropertyError kind) noexcept {
    switch (kind) {
        case MapPropertyError::KeyNotFound: return "The requested key was not found in the map";
        case MapPropertyError::TypeMismatch: return "The wrong function was used to retrieve the property";
        case MapPropertyError::IndexOutOfBound: return "The requested index was out of bound";
        case MapPropertyError::MapError: break;
    }
    return "The map has errors. Use [`Map::get_error`] to retrieve the message";
}

void raise_map_error(MapPropertyError kind) { throw_runtime_error(error_text(kind)); }

namespace {

MapPropertyError from_read_error(int error) noexcept {
    switch (error) {
        case peUnset: return MapPropertyError::KeyNotFound;
        case peType: return MapPropertyError::TypeMismatch;
        case peIndex: return MapPropertyError::IndexOutOfBound;
        default: return MapPropertyError::MapError;
    }
}

void check_read(int error) {
    if (error != 0) raise_map_error(from_read_error(error));
}

}  // namespace

// ------------------------------------------------------------ keys

bool is_key_text(std::string_view text) noexcept {
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

KeyStr KeyStr::checked(const char* key) {
    if (key == nullptr || !is_key_text(key)) internal_fault("Key must be alphanumeric or underscore");
    return KeyStr(key);
}

// ------------------------------------------------------------ maps

int MapReader::num_keys() const noexcept { return api_->mapNumKeys(map_); }

KeyStr MapReader::key(int index) const { return KeyStr::checked(api_->mapGetKey(map_, index)); }

int MapReader::num_elements(KeyStr key) const noexcept {
    int count = api_->mapNumElements(map_, key.c_str());
    return count > 0 ? count : 0;
}

Value MapReader::get(KeyStr key, int index) const {
    const char* k = key.c_str();
    int type = api_->mapGetType(map_, k);
    int error = 0;
    switch (type) {
        case ptUnset: raise_map_error(MapPropertyError::KeyNotFound);
        case ptInt: {
            int64_t v = api_->mapGetInt(map_, k, index, &error);
            check_read(error);
            return Value::of_int(v);
        }
        case ptFloat: {
            double v = api_->mapGetFloat(map_, k, index, &error);
            check_read(error);
            return Value::of_float(v);
        }
        case ptData: {
            int size = api_->mapGetDataSize(map_, k, index, &error);
            check_read(error);
            int hint = api_->mapGetDataTypeHint(map_, k, index, &error);
            check_read(error);
            const char* bytes = api_->mapGetData(map_, k, index, &error);
            check_read(error);
            Value::Kind kind = hint == dtUtf8 ? Value::Kind::Text : Value::Kind::Binary;
            return Value::of_data(kind, std::string_view(bytes, size > 0 ? static_cast<size_t>(size) : 0));
        }
        case ptVideoNode:
        case ptAudioNode: {
            NodeRef node(api_->mapGetNode(map_, k, index, &error), api_);
            check_read(error);
            Value out;
            out.kind = type == ptVideoNode ? Value::Kind::VideoNode : Value::Kind::AudioNode;
            out.node = std::move(node);
            return out;
        }
        case ptVideoFrame:
        case ptAudioFrame: {
            FrameRef frame(api_->mapGetFrame(map_, k, index, &error), api_);
            check_read(error);
            Value out;
            out.kind = type == ptVideoFrame ? Value::Kind::VideoFrame : Value::Kind::AudioFrame;
            out.frame = std::move(frame);
            return out;
        }
        case ptFunction: {
            FunctionRef function(api_->mapGetFunction(map_, k, index, &error), api_);
            check_read(error);
            Value out;
            out.kind = Value::Kind::Function;
            out.function = std::move(function);
            return out;
        }
        default: internal_fault("unknown map value type " + std::to_string(type));
    }
}

void Map::set(KeyStr key, Value value, int mode) {
    const char* k = key.c_str();
    int status = 0;
    switch (value.kind) {
        case Value::Kind::Int: status = api_->mapSetInt(target_, k, value.integer, mode); break;
        case Value::Kind::Float: status = api_->mapSetFloat(target_, k, value.real, mode); break;
        case Value::Kind::Binary:
        case Value::Kind::Text: {
            // The API takes an int length.
            if (value.data.size() > static_cast<size_t>(INT_MAX))
                internal_fault("data longer than 2147483647 bytes cannot be stored in a map");
            int hint = value.kind == Value::Kind::Text ? dtUtf8 : dtBinary;
            status = api_->mapSetData(target_, k, value.data.data(), static_cast<int>(value.data.size()), hint, mode);
            break;
        }
        case Value::Kind::VideoNode:
        case Value::Kind::AudioNode:
            if (!value.node.in_this_process()) throw_foreign_core();  // a parent's node meets a core of ours
            status = api_->mapSetNode(target_, k, value.node.get(), mode);
            value.node.reset();
            break;
        case Value::Kind::VideoFrame:
        case Value::Kind::AudioFrame:
            if (!value.frame.in_this_process()) throw_foreign_core();
            status = api_->mapSetFrame(target_, k, value.frame.get(), mode);
            value.frame.reset();
            break;
        case Value::Kind::Function:
            status = api_->mapSetFunction(target_, k, value.function.get(), mode);
            value.function.reset();
            break;
    }
    if (status != 0) raise_map_error(MapPropertyError::TypeMismatch);
}

// ------------------------------------------------------------ helpers

namespace {
void store_node(VSMap* map, const char* key, NodeRef node, int mode) {
    KeyStr k = KeyStr::checked(key);
    const VSAPI* api = node.api();
    Map(map, api).set(k, Value::of_video_node(std::move(node)), mode);
}
}  // namespace

void set_int(VSMap* map, const VSAPI* api, const char* key, int64_t value) {
    Map(map, api).set(KeyStr::checked(key), Value::of_int(value), maReplace);
}

void set_node(VSMap* map, const char* key, NodeRef node) { store_node(map, key, std::move(node), maReplace); }

void push_node(VSMap* map, const char* key, NodeRef node) { store_node(map, key, std::move(node), maAppend); }

NodeRef get_node(const VSMap* map, const VSAPI* api, const char* key) {
    Value value = MapReader(map, api).get(KeyStr::checked(key), 0);
    // Any other kind is released with `value`.
    if (value.kind != Value::Kind::VideoNode && value.kind != Value::Kind::AudioNode)
        throw_runtime_error("expected a node");
    return std::move(value.node);
}

}  // namespace lumeq::map_ext
