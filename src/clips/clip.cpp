#include "clips/clip.hpp"

#include "clips/audio_node.hpp"
#include "clips/video_node.hpp"
#include "frames/audio_frame.hpp"
#include "frames/video_frame.hpp"
#include "runtime/guards.hpp"
#include "runtime/process.hpp"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>

namespace lumeq {
namespace {

constinit ClipMembersAbove members_above{};  // filled while the library loads

const ClipMembersAbove& installed_members() {
    if (members_above.getattro == nullptr) internal_fault("the clip members of the floors above were not installed");
    return members_above;
}

}  // namespace

void install_clip_members_above(const ClipMembersAbove& members) { members_above = members; }

PyRef clip_getattro(PyObject* clip, PyObject* name) { return installed_members().getattro(clip, name); }
PyRef clip_dir(PyObject* clip) { return installed_members().dir(clip); }

const Signature video_set_output_signature{"VideoNode.set_output", {"index", "alpha", "alt_output"}, 3, 0, 0};
PyRef video_clip_set_output(PyObject* clip, const Args& args) { return installed_members().video_set_output(clip, args); }

const Signature audio_set_output_signature{"AudioNode.set_output", {"index"}, 1, 0, 0};
PyRef audio_clip_set_output(PyObject* clip, const Args& args) { return installed_members().audio_set_output(clip, args); }

ClipParts clip_parts(PyObject* obj) {
    if (is_audio_node(obj)) {
        const AudioNodeData& data = audio_node_data(obj);
        return ClipParts{data.node, data.owner, true};
    }
    const VideoNodeData& data = video_node_data(obj);
    return ClipParts{data.node, data.owner, false};
}

int32_t ClipParts::num_frames() const {
    return audio ? node.api()->getAudioInfo(node.get())->numFrames : node.api()->getVideoInfo(node.get())->numFrames;
}

PyRef ClipParts::wrap_frame(FrameRef frame) const {
    return audio ? make_audio_frame(std::move(frame), owner.clone()) : make_video_frame(std::move(frame), owner.clone());
}

namespace {

// One frame waited for by a thread of the caller's. VapourSynth's own
// synchronous request holds its lock while it starts the request, so the
// worker that finishes it first waits for that lock: pinned to one CPU that
// is close to one thread switch per frame more than this wait.
class FrameWait {
public:
    static void VS_CC done(void* data, const VSFrame* frame, int, VSNode*, const char* error) noexcept {
        auto* self = static_cast<FrameWait*>(data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->frame_ = frame;
        if (frame == nullptr && error != nullptr) std::strncpy(self->error_, error, sizeof self->error_ - 1);
        self->ready_ = true;
        self->ready_cv_.notify_one();  // under the lock: the waiter, and this object, outlive it
    }
    const VSFrame* wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_cv_.wait(lock, [this] { return ready_; });
        return frame_;
    }
    std::string_view error() const { return std::string_view(error_, strnlen(error_, sizeof error_)); }

private:
    std::mutex mutex_;
    std::condition_variable ready_cv_;
    bool ready_ = false;
    const VSFrame* frame_ = nullptr;
    char error_[1024] = {};
};

}  // namespace

FrameRef render_frame(const NodeRef& node, int32_t n) {
    if (!node.in_this_process()) throw_foreign_core();  // its workers are gone: the wait would never end
    const VSAPI* api = node.api();
    // A worker waits through VapourSynth, which lends its place in the pool meanwhile.
    if (in_call_from_vapoursynth()) {
        char error[1024];
        error[0] = '\0';  // VapourSynth writes a terminated text only on failure
        const VSFrame* frame = nullptr;
        {
            ReleaseGil unlocked;
            frame = api->getFrame(n, node.get(), error, sizeof error);
        }
        if (frame == nullptr) throw_vs_error(std::string_view(error, strnlen(error, sizeof error)));
        return FrameRef(frame, api);
    }
    FrameWait wait;
    const VSFrame* frame = nullptr;
    {
        ReleaseGil unlocked;
        api->getFrameAsync(n, node.get(), FrameWait::done, &wait);
        frame = wait.wait();
    }
    if (frame == nullptr) throw_vs_error(wait.error());
    return FrameRef(frame, api);
}

}  // namespace lumeq
