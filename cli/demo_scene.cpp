// Procedural depth scene: height field of a rippled ground with spheres and a lying torus, supersampled.
#include "cli/demo_scene.h"

#include <algorithm>
#include <cmath>

namespace vbcli {
namespace {

struct Sphere {
    double x, y, r, base;
};

// Scene height at (u, v), both in units of the picture height; 0 is far, 1 is near.
double sceneHeight(double u, double v, double aspect) {
    // Ground: gentle concentric ripples around the torus, rising a little towards the bottom (nearer ground).
    double cx = 0.5 * aspect, cy = 0.52;
    double dx = u - cx, dy = v - cy;
    double r = std::sqrt(dx * dx + dy * dy);
    double h = 0.10 + 0.10 * v + 0.035 * std::cos(r * 38.0) * std::exp(-r * 1.2);

    // Torus lying in the picture plane, seen from above: a ring with a round cross-section.
    const double ring = 0.26, tube = 0.085;
    double q = std::fabs(r - ring);
    if (q < tube) h = std::max(h, 0.42 + 0.30 * std::sqrt(1.0 - (q / tube) * (q / tube)));

    static const Sphere spheres[] = {
        {0.0, 0.0, 0.11, 0.45},     // in the torus' hole
        {-0.58, -0.22, 0.09, 0.30},  // offsets from the centre
        {0.60, 0.20, 0.13, 0.28},
        {-0.52, 0.30, 0.07, 0.38},
        {0.55, -0.30, 0.06, 0.50},
    };
    for (const Sphere &s : spheres) {
        double sx = u - (cx + s.x), sy = v - (cy + s.y);
        double d2 = (sx * sx + sy * sy) / (s.r * s.r);
        if (d2 < 1.0) h = std::max(h, s.base + 0.35 * std::sqrt(1.0 - d2));
    }
    return std::min(h, 1.0);
}

}  // namespace

Picture MakeDemoDepth(int width, int height) {
    Picture pic(width, height, 1, 16);
    const int ss = 3;  // supersampling per axis: smooth edges make the relief pleasant to look at
    double aspect = double(width) / height;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double sum = 0.0;
            for (int j = 0; j < ss; ++j)
                for (int i = 0; i < ss; ++i)
                    sum += sceneHeight((x + (i + 0.5) / ss) / height, (y + (j + 0.5) / ss) / height, aspect);
            pic.at(x, y)[0] = float(sum / (ss * ss));
        }
    return pic;
}

}  // namespace vbcli
