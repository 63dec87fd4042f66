#include "map_ext.hpp"

namespace lumeq::map_ext {

namespace {
constexpr const char* kTypeMismatch = "The wrong function was used to retrieve the property";

const char* read_error_text(int error) {
    switch (error) {
        case peUnset: return "The requested key was not found in the map";
        case peType: return kTypeMismatch;
        case peIndex: return "The requested index was out of bound";
        default: return "The map has errors. Use [`Map::get_error`] to retrieve the message";
    }
}

void store_node(VSMap* map, const char* key, NodeRef node, int mode) {
    const VSAPI* api = node.api();
    int status = api->mapSetNode(map, key, node.get(), mode);
    node.reset();  // the map holds its own reference now
    if (status != 0) throw_runtime_error(kTypeMismatch);
}
}  // namespace

void set_int(VSMap* map, const VSAPI* api, const char* key, int64_t value) {
    if (api->mapSetInt(map, key, value, maReplace) != 0) throw_runtime_error(kTypeMismatch);
}

void set_node(VSMap* map, const char* key, NodeRef node) { store_node(map, key, std::move(node), maReplace); }

void push_node(VSMap* map, const char* key, NodeRef node) { store_node(map, key, std::move(node), maAppend); }

NodeRef get_node(const VSMap* map, const VSAPI* api, const char* key) {
    int type = api->mapGetType(map, key);
    if (type == ptUnset) throw_runtime_error(read_error_text(peUnset));
    if (type != ptVideoNode) {
        // Release whatever reference the read would hand out.
        int error = 0;
        if (type == ptAudioNode) {
            if (VSNode* other = api->mapGetNode(map, key, 0, &error)) api->freeNode(other);
        } else if (type == ptVideoFrame || type == ptAudioFrame) {
            if (const VSFrame* other = api->mapGetFrame(map, key, 0, &error)) api->freeFrame(other);
        } else if (type == ptFunction) {
            if (VSFunction* other = api->mapGetFunction(map, key, 0, &error)) api->freeFunction(other);
        }
        throw_runtime_error("expected a video node");
    }
    int error = 0;
    VSNode* node = api->mapGetNode(map, key, 0, &error);
    if (error != 0 || node == nullptr) throw_runtime_error(read_error_text(error));
    return NodeRef(node, api);
}

}  // namespace lumeq::map_ext
