// Deterministic depth scenes and textures for the benchmarks.
#include "bench/bench_scenes.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vbbench {

namespace {

// A binary PGM with maxval 255 ("P5"), as netpbm writes it; false for anything else.
bool ReadPgm(const std::string &path, vbhost::Image *img) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int width = 0, height = 0, maxval = 0;
    in >> magic;
    auto skipComments = [&in] {
        in >> std::ws;
        while (in.peek() == '#') {
            std::string line;
            std::getline(in, line);
            in >> std::ws;
        }
    };
    skipComments();
    in >> width;
    skipComments();
    in >> height;
    skipComments();
    in >> maxval;
    if (!in || magic != "P5" || width <= 0 || height <= 0 || maxval != 255) return false;
    in.get();  // the one whitespace byte before the samples
    std::string samples(std::size_t(width) * height, '\0');
    if (!in.read(&samples[0], std::streamsize(samples.size()))) return false;
    *img = vbhost::Image(width, height, vbhost::Depth::k8);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        float *p = &img->argb[i * 4];
        p[0] = 255.0f;
        p[1] = p[2] = p[3] = float(static_cast<unsigned char>(samples[i]));
    }
    return true;
}

}  // namespace

vbhost::Image DepthScene(int width, int height, int frame) {
    if (const char *path = std::getenv("VELLUMBRA_BENCH_DEPTH"); path != nullptr && *path != '\0' && frame == 0) {
        vbhost::Image file;
        if (!ReadPgm(path, &file)) {
            std::fprintf(stderr, "VELLUMBRA_BENCH_DEPTH: %s is not a binary 8-bit PGM file\n", path);
            std::exit(2);
        }
        if (file.width == width && file.height == height) return file;
    }
    vbhost::Image img(width, height, vbhost::Depth::k8);
    const double cx = width * (0.3 + 0.02 * (frame % 20));
    const double cy = height * 0.5;
    const double radius = std::min(width, height) * 0.3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double v = 40.0 + 60.0 * y / std::max(1, height - 1);  // floor
            const int bx = x * 8 / std::max(1, width), by = y * 6 / std::max(1, height);
            if ((bx + by) % 3 == 0) v = 90.0 + 25.0 * ((bx * 7 + by * 3) % 5);  // blocks
            const double dx = (x - cx) / radius, dy = (y - cy) / radius;
            const double d2 = dx * dx + dy * dy;
            if (d2 < 1.0) v = std::max(v, 255.0 * std::sqrt(1.0 - d2));  // sphere
            float *p = img.at(x, y);
            const float grey = float(std::clamp(int(v), 0, 255));
            p[0] = 255.0f;
            p[1] = p[2] = p[3] = grey;
        }
    }
    return img;
}

vbhost::Image TextureScene(int width, int height) {
    vbhost::Image img(width, height, vbhost::Depth::k8);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float *p = img.at(x, y);
            p[0] = float((x * 3 + y) % 11 == 0 ? 0 : 255);
            p[1] = float((x * 13 + y * 5) % 256);
            p[2] = float((x * y + 40) % 256);
            p[3] = float((y * 9 + 128) % 256);
        }
    }
    return img;
}

void KeepFreedMemory() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

int RunBenchmarks(int argc, char **argv) {
    KeepFreedMemory();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace vbbench
