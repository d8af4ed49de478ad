// Test pictures built from a function of (x, y), and the first difference between two pictures.
#pragma once

#include "host/host.h"

#include <array>
#include <functional>
#include <sstream>
#include <string>

namespace test_pictures {

using vbhost::Depth;
using vbhost::Image;

// An 8-bit picture from a function giving alpha, red, green, blue at (x, y).
inline Image Picture(int w, int h, const std::function<std::array<int, 4>(int, int)> &argb) {
    Image img(w, h, Depth::k8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto v = argb(x, y);
            for (int c = 0; c < 4; ++c) img.at(x, y)[c] = float(v[c]);
        }
    return img;
}

inline Image InputPicture(int w, int h) {
    return Picture(w, h, [](int x, int y) { return std::array<int, 4>{255, (x * 3) % 256, (y * 5) % 256, (x + y) % 256}; });
}

// The first differing channel, or "" when the pictures are equal.
inline std::string FirstDifference(const Image &a, const Image &b) {
    if (a.width != b.width || a.height != b.height) {
        std::ostringstream s;
        s << "sizes " << a.width << "x" << a.height << " vs " << b.width << "x" << b.height;
        return s.str();
    }
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < 4; ++c)
                if (!(a.at(x, y)[c] == b.at(x, y)[c])) {
                    std::ostringstream s;
                    s << "pixel (" << x << "," << y << ") channel " << c << ": " << a.at(x, y)[c] << " vs "
                      << b.at(x, y)[c];
                    return s.str();
                }
    return "";
}

}  // namespace test_pictures
