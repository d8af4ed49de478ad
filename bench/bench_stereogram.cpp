// Speed of the stereogram: the row synthesis alone, the whole generator and the post-processing through the
// stand-in host, at HD and UHD sizes, every oversampling class, pattern and bit depth.
#include "bench/bench_scenes.h"
#include "host/host.h"
#include "render/pixels.h"
#include "render/post_processing.h"
#include "render/render_info.h"
#include "synthesis/geometry.h"
#include "synthesis/pattern_sources.h"
#include "synthesis/render_stereogram.h"
#include "synthesis/row_synthesis.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using vbhost::Depth;
using vbhost::Host;
using vbhost::Image;

constexpr double kPeriod = 100.0;
constexpr int32_t kDivergence = 2;

Depth DepthOfBits(int64_t bits) { return bits == 32 ? Depth::k32 : bits == 16 ? Depth::k16 : Depth::k8; }

std::vector<PF_Pixel8> Pixels8(const Image &img) {
    std::vector<PF_Pixel8> out(std::size_t(img.width) * img.height);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const float *p = &img.argb[i * 4];
        out[i] = PF_Pixel8{uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2]), uint8_t(p[3])};
    }
    return out;
}

// Time per frame in the main column; these counters give the time per pixel (seconds, shown as e.g. "4.2ns").
void SetPixelCounters(benchmark::State &state, double working_pixels, double output_pixels) {
    const auto flags = benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert;
    if (working_pixels > 0) state.counters["time_per_working_px"] = benchmark::Counter(working_pixels, flags);
    state.counters["time_per_output_px"] = benchmark::Counter(output_pixels, flags);
}

// ---------------------------------------------------------------- row synthesis on plain buffers

void BM_RowSynthesis(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const int32_t pattern = int32_t(state.range(3));
    const std::vector<PF_Pixel8> depth = Pixels8(vbbench::DepthScene(w, h));
    const StereogramGeometry g = ComputeGeometry(w, kPeriod, int32_t(state.range(2)), kDivergence);
    SeparationTable table;
    BuildSeparationTable(g, &table);
    // The texture as Resizing leaves it for this period: P pixels wide.
    const std::vector<PF_Pixel8> texture = Pixels8(vbbench::TextureScene(int(kPeriod), 75));
    PixelView8 view;
    if (pattern == 3) {
        view.base = reinterpret_cast<const uint8_t *>(texture.data());
        view.rowbytes = int64_t(kPeriod) * 4;
        view.width = int(kPeriod);
        view.height = 75;
    }
    const PatternSource source(g, pattern, ContrastFactor(50), view);
    std::vector<int32_t> left(std::size_t(g.W)), right(std::size_t(g.W));
    std::vector<PF_Pixel8> colors(std::size_t(g.W));
    RowArrays rows;
    rows.leftLink = left.data();
    rows.rightLink = right.data();
    rows.rowColors = colors.data();
    std::srand(1);
    for (auto _ : state) {
        for (int y = 0; y < h; ++y) {
            SynthesizeRow(g, table, &depth[std::size_t(y) * w], y, source, rows, rows.rowColors);
            benchmark::DoNotOptimize(rows.rowColors);
        }
        benchmark::ClobberMemory();
    }
    state.counters["N"] = g.N;
    SetPixelCounters(state, double(g.W) * h, double(w) * h);
}

// ---------------------------------------------------------------- the generator inside the host

// A host holding a depth map, an optional texture and an output world, all in one project depth.
struct HostScene {
    std::unique_ptr<Host> host;
    PF_EffectWorld *depth = nullptr;
    PF_EffectWorld *texture = nullptr;
    PF_EffectWorld *output = nullptr;
    RenderInfo info;

    HostScene(int w, int h, Depth d, int32_t pattern, int32_t oversampling) {
        vbhost::HostOptions o;
        o.project_depth = d;
        host = std::make_unique<Host>(o);
        depth = host->MakeWorld(vbhost::ConvertImage(vbbench::DepthScene(w, h), d));
        if (pattern == 3) texture = host->MakeWorld(vbhost::ConvertImage(vbbench::TextureScene(200, 150), d));
        output = host->MakeWorld(w, h, d);
        std::memset(&info, 0, sizeof info);
        info.depth_world = *depth;
        if (texture) info.texture_world = *texture;
        info.pattern = pattern;
        info.dot_contrast = 50;
        info.texture_transform = 2;  // Resizing: the host scales the texture to the period every frame
        info.stereogram_type = kDivergence;
        info.period = kPeriod;
        info.oversampling = oversampling;
        host->in_data().extent_hint = PF_LRect{0, 0, w, h};
    }
    ~HostScene() {
        host->FreeWorld(output);
        if (texture) host->FreeWorld(texture);
        host->FreeWorld(depth);
    }
    HostScene(const HostScene &) = delete;
    HostScene &operator=(const HostScene &) = delete;

    void Render() { RenderStereogram(&host->in_data(), &host->out_data(), output, &info); }

    // A render that drew nothing, or kept something of the host's, would make its timing meaningless.
    bool Check(benchmark::State &state) {
        const vbhost::Ledger ledger = host->ledger();
        if (!ledger.empty()) {
            state.SkipWithError(("the render kept host resources: " + ledger.describe()).c_str());
            return false;
        }
        const Image out = host->ReadWorld(*output);
        bool drawn = false;
        for (std::size_t i = 0; i < out.argb.size() && !drawn; i += 4) drawn = out.argb[i] > 0.0f;
        if (!drawn) state.SkipWithError("the render drew nothing");
        return drawn;
    }
};

void BM_RenderStereogram(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    HostScene scene(w, h, DepthOfBits(state.range(4)), int32_t(state.range(3)), int32_t(state.range(2)));
    std::srand(1);
    scene.Render();
    if (!scene.Check(state)) return;
    for (auto _ : state) {
        scene.Render();
        benchmark::ClobberMemory();
    }
    const StereogramGeometry g = ComputeGeometry(w, kPeriod, int32_t(state.range(2)), kDivergence);
    state.counters["N"] = g.N;
    SetPixelCounters(state, double(g.W) * h, double(w) * h);
}

// Frames rendered at once on several threads, each with its own host and worlds: all they share is the C
// library's random generator, whose lock the random dot patterns take for every fresh pixel.
void BM_RenderStereogramThreads(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    HostScene scene(w, h, Depth::k8, int32_t(state.range(3)), int32_t(state.range(2)));
    scene.Render();
    if (!scene.Check(state)) return;
    for (auto _ : state) {
        scene.Render();
        benchmark::ClobberMemory();
    }
    // The time columns are per frame on each thread: two threads that keep the time of one render twice the
    // frames in it, and CPU time that grows with the second thread is time lost to what they share.
}

// ---------------------------------------------------------------- post-processing

void BM_PostProcessing(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const double blur = double(state.range(2)), sharpen = double(state.range(3));
    HostScene scene(w, h, DepthOfBits(state.range(4)), 1, 1);
    std::srand(1);
    scene.Render();
    if (!scene.Check(state)) return;
    for (auto _ : state) {
        PF_Err err = PF_Err_NONE;
        ApplyPostProcessing(&scene.host->in_data(), &scene.host->out_data(), scene.output, blur, sharpen, &err);
        if (err != PF_Err_NONE) {
            state.SkipWithError("post-processing failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state, 0.0, double(w) * h);
}

// ---------------------------------------------------------------- deep worlds to 8 bits

// The conversion a deep project's depth map and texture go through before the synthesis reads them.
void BM_ConvertToWorld8(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const Depth d = DepthOfBits(state.range(2));
    Host host;
    PF_EffectWorld *src = host.MakeWorld(vbhost::ConvertImage(vbbench::DepthScene(w, h), d));
    PF_InData *in_data = &host.in_data();
    for (auto _ : state) {
        PF_EffectWorld dst{};
        const PF_Err err = d == Depth::k16 ? ConvertWorld16ToWorld8(in_data, src, &dst)
                                           : ConvertWorld32ToWorld8(in_data, src, &dst);
        if (err != PF_Err_NONE) {
            state.SkipWithError("the conversion failed");
            break;
        }
        benchmark::DoNotOptimize(dst.data);
        PF_DISPOSE_WORLD(&dst);
    }
    host.FreeWorld(src);
    SetPixelCounters(state, 0.0, double(w) * h);
}

// ---------------------------------------------------------------- registration

const int64_t kSizes[][2] = {{1920, 1080}, {3840, 2160}};

void SynthesisArgs(benchmark::internal::Benchmark *b) {
    b->ArgNames({"w", "h", "N", "pattern"});
    for (const auto &s : kSizes)
        for (int64_t n : {1, 4, 10})
            for (int64_t pattern : {1, 2, 3}) b->Args({s[0], s[1], n, pattern});
}

void RenderArgs(benchmark::internal::Benchmark *b) {
    b->ArgNames({"w", "h", "N", "pattern", "bits"});
    for (const auto &s : kSizes)
        for (int64_t n : {1, 4, 10})
            for (int64_t pattern : {1, 2, 3})
                for (int64_t bits : {8, 16, 32}) b->Args({s[0], s[1], n, pattern, bits});
}

void PostArgs(benchmark::internal::Benchmark *b) {
    b->ArgNames({"w", "h", "blur", "sharpen", "bits"});
    for (const auto &s : kSizes)
        for (int64_t bits : {8, 16, 32}) {
            for (int64_t blur : {1, 10, 100}) b->Args({s[0], s[1], blur, 0, bits});
            b->Args({s[0], s[1], 0, 50, bits});
        }
}

BENCHMARK(BM_RowSynthesis)->Apply(SynthesisArgs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderStereogram)->Apply(RenderArgs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderStereogramThreads)
    ->ArgNames({"w", "h", "N", "pattern"})
    ->Args({1920, 1080, 4, 1})
    ->Args({1920, 1080, 4, 2})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostProcessing)->Apply(PostArgs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertToWorld8)
    ->ArgNames({"w", "h", "bits"})
    ->Args({1920, 1080, 16})
    ->Args({1920, 1080, 32})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) { return vbbench::RunBenchmarks(argc, argv); }
