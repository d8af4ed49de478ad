// Speed of whole sequences through the command-line renderer: depth files in, stereogram files out, on one
// and on two threads, with the plug-in loaded from its module file as the renderer does.
#include "bench/bench_scenes.h"
#include "cli/picture.h"
#include "cli/render_job.h"
#include "shell/param_index.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 8;

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A directory of depth frames depth.0001.pgm ... made once per size and removed at exit.
class SequenceDir {
public:
    SequenceDir(int width, int height) {
        dir_ = fs::temp_directory_path() /
               ("vellumbra-bench-" + std::to_string(::getpid()) + "-" + std::to_string(width) + "x" +
                std::to_string(height));
        fs::create_directories(dir_);
        for (int f = 1; f <= kFrames; ++f) {
            const vbhost::Image depth = vbbench::DepthScene(width, height, f);
            vbcli::Picture pic(width, height, 1, 8);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) *pic.at(x, y) = depth.at(x, y)[1] / 255.0f;
            char name[32];
            std::snprintf(name, sizeof name, "depth.%04d.pgm", f);
            vbcli::WritePicture((dir_ / name).string(), pic, 8);
        }
    }
    ~SequenceDir() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }

private:
    fs::path dir_;
};

void BM_CliSequence(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    static SequenceDir *hd = nullptr;  // kept for the whole run: writing the frames is not what is measured
    static SequenceDir *uhd = nullptr;
    SequenceDir *&dir = w > 1920 ? uhd : hd;
    if (!dir) dir = new SequenceDir(w, h);

    vbcli::RenderJob job;
    job.depth = dir->path("depth.####.pgm");
    job.out = dir->path("out.####.ppm");
    job.sequence = true;
    job.frames.first = 1;
    job.frames.last = kFrames;
    job.threads = int(state.range(2));
    job.plugin = VELLUMBRA_PLUGIN_PATH;
    job.quiet = true;
    job.params.push_back(vbcli::ParamSetting{PARAM_PERIOD, 100.0, "--period 100"});
    job.params.push_back(vbcli::ParamSetting{PARAM_OVERSAMPLING, double(state.range(3)), "--oversampling"});
    // The whole process's CPU time, all threads together: with other load on the machine the wall time of two
    // threads says little, while the CPU they spend per frame shows whether they get in each other's way.
    double cpuSeconds = 0.0;
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        try {
            const vbcli::RenderSummary summary = vbcli::RunRender(job);
            if (summary.frames != kFrames) {
                state.SkipWithError("the renderer did not render every frame");
                break;
            }
        } catch (const std::exception &e) {
            state.SkipWithError(e.what());
            break;
        }
        cpuSeconds += ProcessCpuSeconds() - cpuBefore;
    }
    // Wall time per frame and per output pixel (shown as e.g. "550ms" and "265ns"), and CPU time per frame.
    const auto flags = benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert;
    state.counters["time_per_frame"] = benchmark::Counter(kFrames, flags);
    state.counters["time_per_output_px"] = benchmark::Counter(double(kFrames) * w * h, flags);
    if (state.iterations() > 0)
        state.counters["cpu_s_per_frame"] = cpuSeconds / (double(state.iterations()) * kFrames);
}

void CliArgs(benchmark::internal::Benchmark *b) {
    b->ArgNames({"w", "h", "threads", "N"});
    for (int64_t threads : {1, 2})
        for (int64_t n : {1, 4}) b->Args({1920, 1080, threads, n});
}

// Wall time: the frames render on the worker threads, whose CPU time the calling thread does not see.
BENCHMARK(BM_CliSequence)->Apply(CliArgs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char **argv) { return vbbench::RunBenchmarks(argc, argv); }
