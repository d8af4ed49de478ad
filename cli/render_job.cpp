// Drives the plug-in module through the stand-in host for every frame of a render, on a pool of threads.
#include "cli/render_job.h"

#include "shell/param_index.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__GLIBC__) && defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vbcli {
namespace {

vbhost::Depth depthOfBits(int bits) {
    return bits == 32 ? vbhost::Depth::k32 : bits == 16 ? vbhost::Depth::k16 : vbhost::Depth::k8;
}

float fullScale(vbhost::Depth d) { return d == vbhost::Depth::k8 ? 255.0f : d == vbhost::Depth::k16 ? 32768.0f : 1.0f; }

std::string describeErr(PF_Err err) {
    switch (err) {
    case PF_Err_OUT_OF_MEMORY: return std::to_string(err) + " (out of memory)";
    case PF_Err_INTERNAL_STRUCT_DAMAGED: return std::to_string(err) + " (internal structure damaged)";
    case PF_Err_INVALID_INDEX: return std::to_string(err) + " (invalid index)";
    case PF_Err_UNRECOGNIZED_PARAM_TYPE: return std::to_string(err) + " (unrecognized parameter type)";
    case PF_Err_INVALID_CALLBACK: return std::to_string(err) + " (invalid callback)";
    case PF_Err_BAD_CALLBACK_PARAM: return std::to_string(err) + " (bad callback parameter)";
    case A_Err_MISSING_SUITE: return std::to_string(err) + " (missing host suite)";
    default: return std::to_string(err);
    }
}

std::string withMessage(const std::string &text, const std::string &msg) {
    return msg.empty() ? text : text + ": " + msg;
}

// The pictures of one frame, read from their files.
struct FramePictures {
    Picture depth, input, texture;
    bool has_input = false, has_texture = false;
};

FramePictures readFrame(const RenderJob &job, int frame) {
    FramePictures p;
    p.depth = ReadPicture(ExpandFramePattern(job.depth, frame));
    if (!job.input.empty()) {
        p.input = ReadPicture(ExpandFramePattern(job.input, frame));
        p.has_input = true;
    }
    if (!job.texture.empty()) {
        p.texture = ReadPicture(ExpandFramePattern(job.texture, frame));
        p.has_texture = true;
    }
    return p;
}

// Every frame allocates and frees pictures and worlds of tens of megabytes. By default the C library hands each
// of them back to the system, and the next one comes back as fresh pages whose faults cost more than the
// render itself; kept in one arena, freed memory serves the next frame, whichever thread renders it.
void keepFreedMemoryForNextFrames() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_ARENA_MAX, 1);
#endif
}

// A frame's pictures and worlds take up to about 80 bytes per pixel (deep projects; an 8-bit one about 30), all
// of it fresh memory, and faulting it in 4 KiB pages costs more than the render itself. Grows the heap once by about what the frames will take and asks the
// kernel to back that range with huge pages where it allows them, so that the pictures made later land there
// and fault 2 MiB at a time. Nothing is touched here: the range costs address space, not memory. Must follow
// keepFreedMemoryForNextFrames, whose thresholds keep the range in the heap once freed.
void reserveHugePageHeap(std::size_t bytes) {
#if defined(__GLIBC__) && defined(__linux__) && defined(MADV_HUGEPAGE)
    // Below the mapping and trimming thresholds set above, so the block comes from the heap and stays there.
    bytes = std::min(bytes, std::size_t(768) << 20);
    if (bytes == 0) return;
    void *block = std::malloc(bytes);
    if (block == nullptr) return;
    const long page_size = sysconf(_SC_PAGESIZE);
    const std::uintptr_t page = page_size > 0 ? std::uintptr_t(page_size) : 4096;
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(block) + page - 1) & ~(page - 1);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(sbrk(0));
    std::free(block);
    // Only advice: where the kernel refuses (or the block did not come from the heap) pages stay small.
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)bytes;
#endif
}

// A one-picture layer that takes the picture over: a braced list would copy it, and a frame's pictures are
// tens of megabytes of floats.
vbhost::Layer stillLayer(vbhost::Image &&picture) {
    vbhost::Layer layer;
    layer.frames.push_back(std::move(picture));
    return layer;
}

std::string formatTime(double seconds) {
    long s = long(seconds + 0.5);
    char buf[32];
    if (s >= 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// Spreads a picture's samples into alpha, red, green and blue per pixel through conv: grey to all three colours,
// no alpha channel to `opaque`. One loop per channel layout, so that the common grey depth map does not test the
// layout per pixel.
template <typename T, typename Conv>
void spreadArgb(const Picture &pic, T *d, T opaque, Conv conv) {
    const std::size_t n = std::size_t(pic.width) * std::size_t(pic.height);
    const int c = pic.channels;
    const float *s = pic.data.data();
    switch (c) {
    case 1:
        for (std::size_t i = 0; i < n; ++i, d += 4) d[0] = opaque, d[1] = d[2] = d[3] = conv(s[i]);
        break;
    case 2:
        for (std::size_t i = 0; i < n; ++i, d += 4, s += 2) d[0] = conv(s[1]), d[1] = d[2] = d[3] = conv(s[0]);
        break;
    case 3:
        for (std::size_t i = 0; i < n; ++i, d += 4, s += 3)
            d[0] = opaque, d[1] = conv(s[0]), d[2] = conv(s[1]), d[3] = conv(s[2]);
        break;
    default:
        for (std::size_t i = 0; i < n; ++i, d += 4, s += c)
            d[0] = conv(s[3]), d[1] = conv(s[0]), d[2] = conv(s[1]), d[3] = conv(s[2]);
        break;
    }
}

}  // namespace

vbhost::Image ToHostImage(const Picture &pic) {
    vbhost::Depth depth = depthOfBits(pic.bits);
    vbhost::Image img(pic.width, pic.height, depth);
    float scale = fullScale(depth);
    bool integral = depth != vbhost::Depth::k32;
    // Rounds half away from zero as std::round does, without a library call per channel: the clamped value lies
    // in 0..32768, so adding 0.5 in double is exact and truncation is the floor. NaN keeps its own path.
    auto conv = [integral, scale](float v) {
        if (!integral) return v;
        const float c = std::clamp(v, 0.0f, 1.0f) * scale;
        if (!(c >= 0.0f)) return std::round(c);
        return float(std::int32_t(double(c) + 0.5));
    };
    spreadArgb(pic, img.argb.data(), conv(1.0f), conv);
    return img;
}

Picture FromHostImage(const vbhost::Image &img) {
    const float full = fullScale(img.depth), inv = 1.0f / full;
    std::size_t n = std::size_t(img.width) * img.height;
    bool opaque = true;
    for (std::size_t i = 0; i < n && opaque; ++i) opaque = img.argb[i * 4] >= full;
    int bits = img.depth == vbhost::Depth::k32 ? 32 : img.depth == vbhost::Depth::k16 ? 16 : 8;
    Picture pic(img.width, img.height, opaque ? 3 : 4, bits);
    for (std::size_t i = 0; i < n; ++i) {
        const float *s = &img.argb[i * 4];
        float *d = &pic.data[i * pic.channels];
        d[0] = s[1] * inv, d[1] = s[2] * inv, d[2] = s[3] * inv;
        if (!opaque) d[3] = s[0] * inv;
    }
    return pic;
}

vbhost::PackedImage ToPacked8(const Picture &pic) {
    // ToHostImage's rounding at full scale 255, then the host's: NaN, which ToHostImage keeps, becomes 0.
    auto conv = [](float v) -> std::uint8_t {
        const float c = std::clamp(v, 0.0f, 1.0f) * 255.0f;
        if (!(c >= 0.0f)) return 0;
        return std::uint8_t(std::int32_t(double(c) + 0.5));
    };
    vbhost::PackedImage img;
    img.width = pic.width;
    img.height = pic.height;
    img.depth = vbhost::Depth::k8;
    img.bytes.resize(std::size_t(pic.width) * std::size_t(pic.height) * 4);
    spreadArgb(pic, img.bytes.data(), std::uint8_t(255), conv);
    return img;
}

Picture8 FromPacked8(const vbhost::PackedImage &img) {
    const std::size_t n = std::size_t(img.width) * std::size_t(img.height);
    const std::uint8_t *s = img.bytes.data();
    bool opaque = true;
    for (std::size_t i = 0; i < n && opaque; ++i) opaque = s[4 * i] == 255;
    Picture8 pic;
    pic.width = img.width;
    pic.height = img.height;
    pic.channels = opaque ? 3 : 4;
    pic.data.resize(n * std::size_t(pic.channels));
    std::uint8_t *d = pic.data.data();
    if (opaque) {
        for (std::size_t i = 0; i < n; ++i, s += 4, d += 3) d[0] = s[1], d[1] = s[2], d[2] = s[3];
    } else {
        for (std::size_t i = 0; i < n; ++i, s += 4, d += 4) d[0] = s[1], d[1] = s[2], d[2] = s[3], d[3] = s[0];
    }
    return pic;
}

std::unique_ptr<vbhost::Module> LoadPlugin(const std::string &path) {
    auto module = std::make_unique<vbhost::Module>(path);
    if (!module->ok()) throw CliError(2, "cannot load plug-in '" + path + "': " + module->error());
    return module;
}

std::unique_ptr<vbhost::Host> MakeEffectHost(const vbhost::Module &module, vbhost::Depth depth) {
    vbhost::HostOptions options;
    options.project_depth = depth;
    auto host = std::make_unique<vbhost::Host>(options);
    host->SetEffect(module.effect_main(), module.entry());
    vbhost::Host::Announcement announcement;
    PF_Err err = host->Announce(&announcement);
    if (err != PF_Err_NONE) throw CliError(1, "the plug-in's announcement failed with error " + describeErr(err));
    const std::pair<PF_Cmd, const char *> setup[] = {{PF_Cmd_GLOBAL_SETUP, "global setup"},
                                                     {PF_Cmd_PARAMS_SETUP, "parameter setup"}};
    for (const auto &[cmd, what] : setup) {
        err = host->Send(cmd);
        if (err != PF_Err_NONE)
            throw CliError(1, withMessage("the effect's " + std::string(what) + " failed with error " + describeErr(err),
                                          host->out_data().return_msg));
    }
    return host;
}

void ApplyParams(vbhost::Host &host, const std::vector<ParamSetting> &params) {
    for (const ParamSetting &p : params) {
        std::string why;
        if (!host.SetParamValue(p.index, p.value, &why)) throw CliError(2, p.flag + ": " + why);
    }
}

RenderSummary RunRender(const RenderJob &job) {
    keepFreedMemoryForNextFrames();
    std::vector<int> frames;
    if (job.sequence)
        for (int f = job.frames.first; f <= job.frames.last; ++f) frames.push_back(f);
    else
        frames.push_back(0);

    auto module = LoadPlugin(job.plugin);

    // The first frame's pictures decide the project depth and catch unreadable files before anything renders.
    FramePictures first;
    try {
        first = readFrame(job, frames.front());
    } catch (const ImageError &e) {
        throw CliError(2, e.what());
    }
    int bits = job.project_bits;
    if (bits == 0) {
        bits = std::max({first.depth.bits, first.has_input ? first.input.bits : 8,
                         first.has_texture ? first.texture.bits : 8});
    }
    vbhost::Depth depth = depthOfBits(bits);
    {
        const std::size_t depth_pixels = std::size_t(first.depth.width) * std::size_t(first.depth.height);
        const std::size_t input_pixels =
            first.has_input ? std::size_t(first.input.width) * std::size_t(first.input.height) : 0;
        const std::size_t workers = std::size_t(std::max(1, std::min<int>(job.threads, int(frames.size()))));
        reserveHugePageHeap(std::max(depth_pixels, input_pixels) * 96 * workers);
    }
    FileFormat format = FormatFromPath(job.out);
    int file_bits = BitsStoredBy(format, job.out_bits ? job.out_bits : bits);

    {
        // Values are checked once, up front, by a host of the same effect: nothing renders with a bad one.
        auto probe = MakeEffectHost(*module, depth);
        ApplyParams(*probe, job.params);
    }

    RenderSummary summary;
    summary.project_bits = bits;
    summary.file_bits = file_bits;
    summary.first_output = ExpandFramePattern(job.out, frames.front());

    if (job.seed_set) std::srand(job.seed);

    std::mutex mu;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::unique_ptr<CliError> error;
    int error_frame = 0;
    int done = 0;
    auto start = std::chrono::steady_clock::now();

    auto renderOne = [&](int frame, FramePictures pics) {
        auto host = MakeEffectHost(*module, depth);
        ApplyParams(*host, job.params);
        // An 8-bit project takes its 8-bit pictures packed and gives its output so, an 8-bit file writes it as
        // it is: tens of megabytes of float pictures per frame fewer, the same files. Deeper pictures keep the
        // host's own narrowing, whose rounding of rounded values a direct rounding would not always match.
        const bool eight = depth == vbhost::Depth::k8;
        const bool packedOut = eight && file_bits == 8;
        auto addLayer = [&](const Picture &pic) {
            return eight && pic.bits == 8 ? host->AddPackedLayer(ToPacked8(pic))
                                          : host->AddLayer(stillLayer(ToHostImage(pic)));
        };
        // Without an input file the layer is transparent black, which needs no pixels to say so.
        int input_id = pics.has_input
                           ? addLayer(pics.input)
                           : host->AddPackedLayer(vbhost::PackedImage{pics.depth.width, pics.depth.height, depth, {}});
        host->SetInputLayer(input_id);
        host->SetLayerParam(PARAM_DEPTH_LAYER, addLayer(pics.depth));
        if (pics.has_texture) host->SetLayerParam(PARAM_TEXTURE_LAYER, addLayer(pics.texture));
        vbhost::FrameRequest request;
        request.time = A_long(frame) * host->options().time_step;
        request.downsample = job.downsample;
        request.packed_output = packedOut;
        vbhost::FrameResult result = host->RenderFrame(request);
        std::string which = job.sequence ? "frame " + std::to_string(frame) + ": " : "";
        if (result.pre_render_err != PF_Err_NONE)
            throw CliError(1, withMessage(which + "the effect's pre-render failed with error " +
                                              describeErr(result.pre_render_err),
                                          result.message));
        if (result.render_err != PF_Err_NONE)
            throw CliError(1, withMessage(which + "the effect's render failed with error " +
                                              describeErr(result.render_err),
                                          result.message));
        std::string path = ExpandFramePattern(job.out, frame);
        int width = 0, height = 0;
        if (packedOut) {
            const Picture8 out = FromPacked8(result.packed_output);
            WritePicture8(path, out);
            width = out.width, height = out.height;
        } else {
            const Picture out = FromHostImage(result.output);
            WritePicture(path, out, file_bits);
            width = out.width, height = out.height;
        }
        std::lock_guard<std::mutex> lock(mu);
        summary.width = width;
        summary.height = height;
    };

    auto worker = [&] {
        for (;;) {
            std::size_t i = next++;
            if (i >= frames.size() || failed) return;
            int frame = frames[i];
            try {
                FramePictures pics = i == 0 ? std::move(first) : readFrame(job, frame);
                renderOne(frame, std::move(pics));
            } catch (const CliError &e) {
                std::lock_guard<std::mutex> lock(mu);
                if (!error || frame < error_frame) error = std::make_unique<CliError>(e), error_frame = frame;
                failed = true;
                return;
            } catch (const std::exception &e) {
                std::lock_guard<std::mutex> lock(mu);
                if (!error || frame < error_frame) error = std::make_unique<CliError>(2, e.what()), error_frame = frame;
                failed = true;
                return;
            }
            std::lock_guard<std::mutex> lock(mu);
            ++done;
            if (job.progress && !job.quiet) {
                double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                double fps = elapsed > 0 ? done / elapsed : 0.0;
                double left = fps > 0 ? (int(frames.size()) - done) / fps : 0.0;
                std::fprintf(stderr, "\rframe %d/%zu  %.2f fps  %s left   ", done, frames.size(), fps,
                             formatTime(left).c_str());
                std::fflush(stderr);
            }
        }
    };

    int threads = std::max(1, std::min<int>(job.threads, int(frames.size())));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (auto &t : pool) t.join();
    if (job.progress && !job.quiet) std::fprintf(stderr, "\n");
    if (error) throw *error;
    summary.frames = done;
    return summary;
}

}  // namespace vbcli
