// The demo's procedural pictures: a supersampled height field (rippled ground, spheres, a lying torus) and a
// colourful texture.
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
    // Ground: gentle concentric ripples around the torus on a floor that recedes to the far plane at the top,
    // so the picture spans the whole depth range.
    double cx = 0.5 * aspect, cy = 0.52;
    double dx = u - cx, dy = v - cy;
    double r = std::sqrt(dx * dx + dy * dy);
    double h = std::max(0.0, v * (0.20 + 0.06 * std::cos(r * 38.0) * std::exp(-r * 1.2)));

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

Picture MakeDemoTexture(int width, int height) {
    Picture pic(width, height, 3, 8);
    const double two_pi = 6.283185307179586;
    auto hash = [](unsigned x, unsigned y) {
        unsigned h = x * 73856093u ^ y * 19349663u;
        h = (h ^ (h >> 13)) * 1274126177u;
        return double((h >> 8) & 0xffff) / 65535.0;
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double u = double(x) / width, v = double(y) / height;
            // Colours drift across the width without repeating (a repeat inside one strip would offer the eyes
            // a false match) and wave with whole periods over the height, so the texture wraps seamlessly.
            double hue = 0.6 * u + 0.25 * std::sin(two_pi * (v + 0.4 * u)) + 0.15 * std::sin(two_pi * 2 * v + 3.0 * u);
            hue += 0.18 * hash(unsigned(x) / 3, unsigned(y) / 3);  // blotches
            double grain = hash(unsigned(x) / 2, unsigned(y) / 2 + 7919u);  // fine detail to fuse on
            for (int c = 0; c < 3; ++c) {
                double channel = 0.5 + 0.5 * std::cos(two_pi * (hue + c / 3.0));
                double value = 0.08 + 0.92 * channel * (0.25 + 0.75 * grain);
                pic.at(x, y)[c] = float(std::round(std::clamp(value, 0.0, 1.0) * 255.0) / 255.0);
            }
        }
    return pic;
}

}  // namespace vbcli
