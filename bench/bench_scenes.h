// Pictures the benchmarks render: a depth scene with smooth and stepped surfaces, and a coloured texture.
#pragma once

#include "host/host.h"

namespace vbbench {

// An 8-bit grey depth map (opaque): a tilted floor, raised blocks with sharp edges and a sphere whose place
// follows `frame`, so that a sequence moves. Every separation of the geometry's range occurs.
// When the environment variable VELLUMBRA_BENCH_DEPTH names a binary 8-bit PGM file of this size, frame 0 is
// that picture instead, so that a benchmark can time the very depth map another program is timed on.
vbhost::Image DepthScene(int width, int height, int frame = 0);

// An 8-bit texture with varied colours and some transparency.
vbhost::Image TextureScene(int width, int height);

// Makes freed memory stay with the process instead of going back to the system, as a host's memory pool does:
// otherwise every world of a frame is fresh pages from the system, and the page faults of the stand-in host's
// allocator would be timed as the effect's work.
void KeepFreedMemory();

// The body of every benchmark program's main: keeps freed memory, then runs the benchmarks the flags select.
int RunBenchmarks(int argc, char **argv);

}  // namespace vbbench
