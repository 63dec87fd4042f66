// The yardstick for lumeq's benchmarks: the same workloads driven straight
// through the VapourSynth C API by a careful C++ host. Prints one JSON line.
//
//   native LIBDIR frames   WIDTH HEIGHT FORMAT KEEP FRAMES PREFETCH BACKLOG
//   native LIBDIR getframe WIDTH HEIGHT FORMAT KEEP FRAMES
//   native LIBDIR getframewait WIDTH HEIGHT FORMAT KEEP FRAMES   (getFrameAsync and a wait of its own)
//   native LIBDIR invoke   CALLS
//   native LIBDIR invoke   CALLS             (std's plugin handle held, as a caller would)
//   native LIBDIR copy     WIDTH HEIGHT FORMAT REPS
//   native LIBDIR window   WIDTH HEIGHT FORMAT KEEP FRAMES WINDOW
//   native LIBDIR y4m      WIDTH HEIGHT FORMAT FRAMES PREFETCH OUTFILE   (OUTFILE - is standard output)
//   native LIBDIR audioframes SAMPLES PREFETCH BACKLOG     (stereo 48 kHz float BlankAudio)
//   native LIBDIR w64      SAMPLES OUTFILE                 (the same clip as a Wave64 file)
//   native LIBDIR firstcore
//
// PREFETCH 0 means the core's thread count; BACKLOG 0 means 3 × prefetch.
// `window` keeps WINDOW getFrameAsync requests in flight and takes frames
// in the order they finish: the native counterpart of an asyncio window.
#include <VapourSynth4.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const VSAPI* vsapi = nullptr;

[[noreturn]] void die(const std::string& text) {
    std::fprintf(stderr, "native: %s\n", text.c_str());
    std::exit(2);
}

void load(const std::string& dir) {
    std::string path = dir + "/libvapoursynth.so.4";
    void* lib = dlopen(path.c_str(), RTLD_LAZY);
    if (lib == nullptr) die("cannot open " + path);
    auto entry = reinterpret_cast<VSGetVapourSynthAPI>(dlsym(lib, "getVapourSynthAPI"));
    if (entry == nullptr) die("no getVapourSynthAPI");
    vsapi = entry(VS_MAKE_VERSION(4, 1));
    if (vsapi == nullptr) die("API 4.1 not supported");
}

VSMap* invoke(VSCore* core, const char* name, VSMap* args) {
    VSPlugin* std_plugin = vsapi->getPluginByNamespace("std", core);
    VSMap* result = vsapi->invoke(std_plugin, name, args);
    if (const char* error = vsapi->mapGetError(result)) die(error);
    return result;
}

VSNode* blank_clip(VSCore* core, int width, int height, int format, int keep, int length) {
    VSMap* args = vsapi->createMap();
    vsapi->mapSetInt(args, "width", width, maReplace);
    vsapi->mapSetInt(args, "height", height, maReplace);
    vsapi->mapSetInt(args, "format", format, maReplace);
    vsapi->mapSetInt(args, "keep", keep, maReplace);
    vsapi->mapSetInt(args, "length", length, maReplace);
    VSMap* result = invoke(core, "BlankClip", args);
    vsapi->freeMap(args);
    int error = 0;
    VSNode* node = vsapi->mapGetNode(result, "clip", 0, &error);
    vsapi->freeMap(result);
    return node;
}

long peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* workload, double seconds, long items, unsigned long long checksum) {
    std::printf("{\"workload\": \"%s\", \"seconds\": %.9f, \"items\": %ld, \"checksum\": %llu, \"peak_rss_kb\": %ld}\n",
                workload, seconds, items, checksum, peak_rss_kb());
}

// One in-flight request: the callback fills it, the consumer waits on it.
struct Slot {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    const VSFrame* frame = nullptr;
    std::string error;
};

void VS_CC frame_done(void* user, const VSFrame* f, int, VSNode*, const char* error) {
    auto* slot = static_cast<Slot*>(user);
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->frame = f;
    if (f == nullptr) slot->error = error ? error : "";
    slot->done = true;
    slot->done_cv.notify_one();
}

// The same in-order window as lumeq's frame iterator: at most `prefetch`
// requests in flight, at most `backlog` slots held, one blocking wait per frame.
template <class Consume>
void run_window(VSNode* node, int frames, size_t prefetch, size_t backlog, Consume&& consume) {
    std::deque<std::unique_ptr<Slot>> window;
    int next = 0;
    auto top_up = [&] {
        size_t pending = 0;
        for (auto& slot : window) {
            std::lock_guard<std::mutex> lock(slot->mutex);
            if (!slot->done) ++pending;
        }
        while (next < frames && pending < prefetch && window.size() < backlog) {
            window.push_back(std::make_unique<Slot>());
            vsapi->getFrameAsync(next++, node, frame_done, window.back().get());
            ++pending;
        }
    };
    top_up();
    while (!window.empty()) {
        std::unique_ptr<Slot> slot = std::move(window.front());
        window.pop_front();
        {
            std::unique_lock<std::mutex> lock(slot->mutex);
            slot->done_cv.wait(lock, [&] { return slot->done; });
        }
        if (slot->frame == nullptr) die(slot->error);
        top_up();
        consume(slot->frame);
        vsapi->freeFrame(slot->frame);
    }
}

size_t effective_prefetch(VSCore* core, int requested) {
    if (requested > 0) return static_cast<size_t>(requested);
    VSCoreInfo info{};
    vsapi->getCoreInfo(core, &info);
    return info.numThreads > 0 ? static_cast<size_t>(info.numThreads) : 1;
}

int workload_frames(char** argv) {
    int width = std::atoi(argv[0]), height = std::atoi(argv[1]), format = std::atoi(argv[2]);
    int keep = std::atoi(argv[3]), frames = std::atoi(argv[4]);
    VSCore* core = vsapi->createCore(0);
    size_t prefetch = effective_prefetch(core, std::atoi(argv[5]));
    size_t backlog = std::atoi(argv[6]) > 0 ? std::max<size_t>(std::atoi(argv[6]), prefetch) : prefetch * 3;
    VSNode* node = blank_clip(core, width, height, format, keep, frames);
    unsigned long long checksum = 0;
    auto start = std::chrono::steady_clock::now();
    run_window(node, frames, prefetch, backlog, [&](const VSFrame* f) { checksum += vsapi->getReadPtr(f, 0)[0]; });
    double elapsed = seconds_since(start);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    report("frames", elapsed, frames, checksum);
    return 0;
}

// The synchronous request made by getFrame, or (`own_wait`) by getFrameAsync
// and a wait of one's own, the way lumeq's get_frame makes it: the best a
// native caller can do.
const VSFrame* one_frame(int n, VSNode* node, bool own_wait) {
    if (!own_wait) {
        char error[1024];
        const VSFrame* f = vsapi->getFrame(n, node, error, sizeof error);
        if (f == nullptr) die(error);
        return f;
    }
    Slot one;
    vsapi->getFrameAsync(n, node, frame_done, &one);
    {
        std::unique_lock<std::mutex> lock(one.mutex);
        one.done_cv.wait(lock, [&] { return one.done; });
    }
    if (one.frame == nullptr) die(one.error);
    return one.frame;
}

int workload_getframe(char** argv, bool own_wait) {
    int width = std::atoi(argv[0]), height = std::atoi(argv[1]), format = std::atoi(argv[2]);
    int keep = std::atoi(argv[3]), frames = std::atoi(argv[4]);
    VSCore* core = vsapi->createCore(0);
    VSNode* node = blank_clip(core, width, height, format, keep, frames);
    unsigned long long checksum = 0;
    auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < frames; ++n) {
        const VSFrame* f = one_frame(n, node, own_wait);
        checksum += vsapi->getFrameWidth(f, 0);
        vsapi->freeFrame(f);
    }
    double elapsed = seconds_since(start);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    report(own_wait ? "getframewait" : "getframe", elapsed, frames, checksum);
    return 0;
}

int workload_invoke(char** argv) {
    int calls = std::atoi(argv[0]);
    VSCore* core = vsapi->createCore(0);
    VSNode* node = blank_clip(core, 640, 480, pfYUV420P8, 0, 100);
    VSPlugin* std_plugin = vsapi->getPluginByNamespace("std", core);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        VSMap* args = vsapi->createMap();
        vsapi->mapSetNode(args, "clip", node, maReplace);
        vsapi->mapSetInt(args, "first", 0, maReplace);
        vsapi->mapSetInt(args, "last", 0, maReplace);
        VSMap* result = vsapi->invoke(std_plugin, "Trim", args);
        vsapi->freeMap(args);
        if (vsapi->mapGetError(result)) die(vsapi->mapGetError(result));
        int error = 0;
        VSNode* out = vsapi->mapGetNode(result, "clip", 0, &error);
        vsapi->freeMap(result);
        vsapi->freeNode(out);
    }
    double elapsed = seconds_since(start);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    report("invoke", elapsed, calls, 0);
    return 0;
}

int workload_copy(char** argv) {
    int width = std::atoi(argv[0]), height = std::atoi(argv[1]), format = std::atoi(argv[2]), reps = std::atoi(argv[3]);
    VSCore* core = vsapi->createCore(0);
    VSNode* node = blank_clip(core, width, height, format, 1, 1);
    char error[1024];
    const VSFrame* f = vsapi->getFrame(0, node, error, sizeof error);
    if (f == nullptr) die(error);
    const VSVideoFormat* fmt = vsapi->getVideoFrameFormat(f);
    size_t row = static_cast<size_t>(vsapi->getFrameWidth(f, 0)) * fmt->bytesPerSample;
    int rows = vsapi->getFrameHeight(f, 0);
    ptrdiff_t stride = vsapi->getStride(f, 0);
    const uint8_t* src = vsapi->getReadPtr(f, 0);
    unsigned long long checksum = 0;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) {
        // A fresh buffer each time, as bytes(plane) makes a new object.
        std::unique_ptr<uint8_t[]> dst(new uint8_t[row * rows]);
        if (stride == static_cast<ptrdiff_t>(row))
            std::memcpy(dst.get(), src, row * rows);
        else
            for (int y = 0; y < rows; ++y) std::memcpy(dst.get() + y * row, src + y * stride, row);
        checksum += dst[row * rows - 1];
    }
    double elapsed = seconds_since(start);
    vsapi->freeFrame(f);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    report("copy", elapsed, reps, checksum);
    return 0;
}

// Finished requests of a completion-order window, handed over in batches.
struct Completions {
    std::mutex mutex;
    std::condition_variable ready_cv;
    std::vector<const VSFrame*> frames;
    std::string error;
};

void VS_CC window_done(void* user, const VSFrame* f, int, VSNode*, const char* error) {
    auto* done = static_cast<Completions*>(user);
    std::lock_guard<std::mutex> lock(done->mutex);
    if (f == nullptr && done->error.empty()) done->error = error ? error : "frame failed";
    done->frames.push_back(f);
    done->ready_cv.notify_one();
}

int workload_window(char** argv) {
    int width = std::atoi(argv[0]), height = std::atoi(argv[1]), format = std::atoi(argv[2]);
    int keep = std::atoi(argv[3]), frames = std::atoi(argv[4]), window = std::max(1, std::atoi(argv[5]));
    VSCore* core = vsapi->createCore(0);
    VSNode* node = blank_clip(core, width, height, format, keep, frames);
    Completions done;
    std::vector<const VSFrame*> batch;
    unsigned long long checksum = 0;
    auto start = std::chrono::steady_clock::now();
    int issued = 0, received = 0;
    for (; issued < std::min(window, frames); ++issued) vsapi->getFrameAsync(issued, node, window_done, &done);
    while (received < frames) {
        {
            std::unique_lock<std::mutex> lock(done.mutex);
            done.ready_cv.wait(lock, [&] { return !done.frames.empty(); });
            if (!done.error.empty()) die(done.error);
            batch.swap(done.frames);
        }
        for (const VSFrame* f : batch) {
            checksum += vsapi->getReadPtr(f, 0)[0];
            vsapi->freeFrame(f);
            ++received;
            if (issued < frames) vsapi->getFrameAsync(issued++, node, window_done, &done);
        }
        batch.clear();
    }
    double elapsed = seconds_since(start);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    report("window", elapsed, frames, checksum);
    return 0;
}

// A pipe of 1 MiB (the unprivileged limit by default) moves a 1080p frame
// in one or two turns of the reader; anything but a pipe refuses.
void widen_pipe(int fd) {
    fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

// The Y4M colour-space tag of a YUV format, as lumeq-pipe writes it.
std::string y4m_colorspace(const VSVideoFormat& fmt) {
    std::string stem = fmt.subSamplingW == 1 ? (fmt.subSamplingH == 1 ? "420" : "422") : "444";
    if (fmt.bitsPerSample == 8) return stem == "420" ? "420jpeg" : stem;
    return stem + "p" + std::to_string(fmt.bitsPerSample);
}

// A competent writer: a 1 MiB stdio buffer, one fwrite per plane when its
// rows are contiguous (row by row only when the stride pads them), and a
// 1 MiB pipe when writing into one.
void write_y4m_frame(std::FILE* out, const VSFrame* f, int bytes_per_sample) {
    std::fwrite("FRAME\n", 1, 6, out);
    for (int p = 0; p < 3; ++p) {
        const uint8_t* src = vsapi->getReadPtr(f, p);
        ptrdiff_t stride = vsapi->getStride(f, p);
        size_t row = static_cast<size_t>(vsapi->getFrameWidth(f, p)) * bytes_per_sample;
        int h = vsapi->getFrameHeight(f, p);
        if (stride == static_cast<ptrdiff_t>(row))
            std::fwrite(src, 1, row * h, out);
        else
            for (int y = 0; y < h; ++y) std::fwrite(src + y * stride, 1, row, out);
    }
}

int workload_y4m(char** argv) {
    int width = std::atoi(argv[0]), height = std::atoi(argv[1]), format = std::atoi(argv[2]);
    int frames = std::atoi(argv[3]);
    VSCore* core = vsapi->createCore(0);
    size_t prefetch = effective_prefetch(core, std::atoi(argv[4]));
    bool to_stdout = std::strcmp(argv[5], "-") == 0;
    std::FILE* out = to_stdout ? stdout : std::fopen(argv[5], "wb");
    if (out == nullptr) die(std::string("cannot open ") + argv[5]);
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    widen_pipe(fileno(out));
    VSNode* node = blank_clip(core, width, height, format, 0, frames);
    const VSVideoInfo* vi = vsapi->getVideoInfo(node);
    auto start = std::chrono::steady_clock::now();
    std::fprintf(out, "YUV4MPEG2 W%d H%d F%lld:%lld Ip A0:0 C%s\n", width, height,
                 static_cast<long long>(vi->fpsNum), static_cast<long long>(vi->fpsDen),
                 y4m_colorspace(vi->format).c_str());
    run_window(node, frames, prefetch, prefetch * 3,
               [&](const VSFrame* f) { write_y4m_frame(out, f, vi->format.bytesPerSample); });
    std::fflush(out);
    double elapsed = seconds_since(start);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    // The report goes to standard error when the stream is standard output.
    std::FILE* report_to = to_stdout ? stderr : stdout;
    std::fprintf(report_to, "{\"workload\": \"y4m\", \"seconds\": %.9f, \"items\": %d, \"peak_rss_kb\": %ld}\n",
                 elapsed, frames, peak_rss_kb());
    if (!to_stdout) std::fclose(out);
    return 0;
}

// ------------------------------------------------------------ audio

VSNode* blank_audio(VSCore* core, long long samples) {
    VSMap* args = vsapi->createMap();
    vsapi->mapSetInt(args, "channels", acFrontLeft, maAppend);
    vsapi->mapSetInt(args, "channels", acFrontRight, maAppend);
    vsapi->mapSetInt(args, "bits", 32, maReplace);
    vsapi->mapSetInt(args, "sampletype", stFloat, maReplace);
    vsapi->mapSetInt(args, "samplerate", 48000, maReplace);
    vsapi->mapSetInt(args, "length", samples, maReplace);
    VSMap* result = invoke(core, "BlankAudio", args);
    vsapi->freeMap(args);
    int error = 0;
    VSNode* node = vsapi->mapGetNode(result, "clip", 0, &error);
    vsapi->freeMap(result);
    return node;
}

int workload_audioframes(char** argv) {
    long long samples = std::atoll(argv[0]);
    VSCore* core = vsapi->createCore(0);
    size_t prefetch = effective_prefetch(core, std::atoi(argv[1]));
    size_t backlog = std::atoi(argv[2]) > 0 ? std::max<size_t>(std::atoi(argv[2]), prefetch) : prefetch * 3;
    VSNode* node = blank_audio(core, samples);
    int frames = vsapi->getAudioInfo(node)->numFrames;
    unsigned long long checksum = 0;
    auto start = std::chrono::steady_clock::now();
    run_window(node, frames, prefetch, backlog, [&](const VSFrame* f) { checksum += vsapi->getReadPtr(f, 0)[0]; });
    double elapsed = seconds_since(start);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    report("audioframes", elapsed, frames, checksum);
    return 0;
}

template <class T>
void put_le(std::string& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xff));
}

// The Wave64 header lumeq-pipe writes for a stereo float clip: GUID chunk
// ids, 64-bit sizes, a WAVEFORMATEXTENSIBLE block.
std::string w64_header(uint64_t data_size) {
    const unsigned char tail[] = {0xf3, 0xac, 0xd3, 0x11, 0x8c, 0xd1, 0x00, 0xc0, 0x4f, 0x8e, 0xdb, 0x8a};
    const unsigned char riff_tail[] = {0x2e, 0x91, 0xcf, 0x11, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00};
    const unsigned char float_guid[] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    std::string fmt;
    put_le<uint16_t>(fmt, 0xFFFE);
    put_le<uint16_t>(fmt, 2);
    put_le<uint32_t>(fmt, 48000);
    put_le<uint32_t>(fmt, 48000 * 8);
    put_le<uint16_t>(fmt, 8);
    put_le<uint16_t>(fmt, 32);
    put_le<uint16_t>(fmt, 22);
    put_le<uint16_t>(fmt, 32);
    put_le<uint32_t>(fmt, 3);
    fmt.append(reinterpret_cast<const char*>(float_guid), sizeof float_guid);
    std::string fmt_chunk = std::string("fmt ") + std::string(reinterpret_cast<const char*>(tail), sizeof tail);
    put_le<uint64_t>(fmt_chunk, 24 + fmt.size());
    fmt_chunk += fmt + std::string((8 - fmt.size() % 8) % 8, '\0');
    uint64_t padding = (8 - data_size % 8) % 8;
    std::string out = std::string("riff") + std::string(reinterpret_cast<const char*>(riff_tail), sizeof riff_tail);
    put_le<uint64_t>(out, 24 + 16 + fmt_chunk.size() + 24 + data_size + padding);
    out += std::string("wave") + std::string(reinterpret_cast<const char*>(tail), sizeof tail) + fmt_chunk;
    out += std::string("data") + std::string(reinterpret_cast<const char*>(tail), sizeof tail);
    put_le<uint64_t>(out, 24 + data_size);
    return out;
}

// A competent writer: each frame's two channels interleaved into one
// buffer and written with one fwrite, through a 1 MiB stdio buffer.
int workload_w64(char** argv) {
    long long samples = std::atoll(argv[0]);
    bool to_stdout = std::strcmp(argv[1], "-") == 0;
    std::FILE* out = to_stdout ? stdout : std::fopen(argv[1], "wb");
    if (out == nullptr) die(std::string("cannot open ") + argv[1]);
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    widen_pipe(fileno(out));
    VSCore* core = vsapi->createCore(0);
    size_t prefetch = effective_prefetch(core, 0);
    VSNode* node = blank_audio(core, samples);
    int frames = vsapi->getAudioInfo(node)->numFrames;
    uint64_t data_size = static_cast<uint64_t>(samples) * 8;
    auto start = std::chrono::steady_clock::now();
    std::string header = w64_header(data_size);
    std::fwrite(header.data(), 1, header.size(), out);
    std::vector<float> interleaved;
    run_window(node, frames, prefetch, prefetch * 3, [&](const VSFrame* f) {
        int length = vsapi->getFrameLength(f);
        auto left = reinterpret_cast<const float*>(vsapi->getReadPtr(f, 0));
        auto right = reinterpret_cast<const float*>(vsapi->getReadPtr(f, 1));
        interleaved.resize(static_cast<size_t>(length) * 2);
        for (int i = 0; i < length; ++i) {
            interleaved[2 * i] = left[i];
            interleaved[2 * i + 1] = right[i];
        }
        std::fwrite(interleaved.data(), sizeof(float), interleaved.size(), out);
    });
    std::fwrite("\0\0\0\0\0\0\0", 1, (8 - data_size % 8) % 8, out);
    std::fflush(out);
    double elapsed = seconds_since(start);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
    std::FILE* report_to = to_stdout ? stderr : stdout;
    std::fprintf(report_to, "{\"workload\": \"w64\", \"seconds\": %.9f, \"items\": %d, \"peak_rss_kb\": %ld}\n",
                 elapsed, frames, peak_rss_kb());
    if (!to_stdout) std::fclose(out);
    return 0;
}

// Loading the library and creating the first core, as a host starting up.
int workload_firstcore(const char* dir) {
    auto start = std::chrono::steady_clock::now();
    load(dir);
    VSCore* core = vsapi->createCore(0);
    double elapsed = seconds_since(start);
    vsapi->freeCore(core);
    report("firstcore", elapsed, 1, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) die("usage: native LIBDIR WORKLOAD ARGS...");
    std::string workload = argv[2];
    if (workload == "firstcore") return workload_firstcore(argv[1]);
    load(argv[1]);
    char** args = argv + 3;
    int nargs = argc - 3;
    auto need = [&](int n) {
        if (nargs < n) die("missing arguments for " + workload);
    };
    if (workload == "frames") return need(7), workload_frames(args);
    if (workload == "getframe") return need(5), workload_getframe(args, false);
    if (workload == "getframewait") return need(5), workload_getframe(args, true);
    if (workload == "invoke") return need(1), workload_invoke(args);
    if (workload == "copy") return need(4), workload_copy(args);
    if (workload == "window") return need(6), workload_window(args);
    if (workload == "y4m") return need(6), workload_y4m(args);
    if (workload == "audioframes") return need(3), workload_audioframes(args);
    if (workload == "w64") return need(2), workload_w64(args);
    die("unknown workload " + workload);
}
