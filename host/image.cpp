// Pictures on the host side: widening 8-bit values, depth conversion, and moving pictures in and out of
// padded worlds.
#include "host/host_impl.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace vbhost {

int PixelSize(Depth d) {
    switch (d) {
    case Depth::k8: return int(sizeof(PF_Pixel8));
    case Depth::k16: return int(sizeof(PF_Pixel16));
    case Depth::k32: return int(sizeof(PF_PixelFloat));
    }
    return 0;
}

PF_PixelFormat FormatOf(Depth d) {
    switch (d) {
    case Depth::k8: return PF_PixelFormat_ARGB32;
    case Depth::k16: return PF_PixelFormat_ARGB64;
    case Depth::k32: return PF_PixelFormat_ARGB128;
    }
    return PF_PixelFormat_INVALID;
}

float Widen8(std::uint8_t v, Depth to) {
    switch (to) {
    case Depth::k8: return float(v);
    case Depth::k16:
        // The smallest 16-bit value whose truncating narrowing trunc(255 * v16 / 32768) is v again.
        return float((std::uint32_t(v) * 32768u + 254u) / 255u);
    case Depth::k32: {
        // v / 255 in single precision, nudged up where the single-precision narrowing would truncate it to
        // v - 1, so that every value survives the round trip.
        float f = float(v) / 255.0f;
        while (static_cast<std::int32_t>(255.0f * f) < std::int32_t(v)) f = std::nextafter(f, 2.0f);
        return f;
    }
    }
    return float(v);
}

namespace {

float clampRound(float v, float hi) {
    if (!(v > 0.0f)) return 0.0f;  // negative or NaN
    if (v >= hi) return hi;
    return std::floor(v + 0.5f);
}

// One channel value from one depth to another (narrowing rounds to nearest and clamps).
float convertChannel(float v, Depth from, Depth to) {
    if (from == to) return v;
    if (from == Depth::k8) return Widen8(std::uint8_t(clampRound(v, 255.0f)), to);
    if (to == Depth::k8) {
        const float scaled = from == Depth::k16 ? v * 255.0f / 32768.0f : v * 255.0f;
        return clampRound(scaled, 255.0f);
    }
    if (from == Depth::k16) return v / 32768.0f;  // 16 -> float
    return clampRound(v * 32768.0f, 32768.0f);    // float -> 16
}

}  // namespace

Image ConvertImage(const Image &src, Depth to) {
    Image out(src.width, src.height, to);
    for (std::size_t i = 0; i < src.argb.size() && i < out.argb.size(); ++i)
        out.argb[i] = convertChannel(src.argb[i], src.depth, to);
    return out;
}

namespace {

// Stores channel values as a world of a depth holds them: each value made a channel by conv.
template <typename Chan, typename Conv>
void storeChannels(const float *in, std::size_t n, unsigned char *out, Conv conv) {
    for (std::size_t i = 0; i < n; ++i) {
        const Chan c = conv(in[i]);
        std::memcpy(out + i * sizeof c, &c, sizeof c);
    }
}

// The channels of a world of a depth as the host's picture holds them.
template <typename Chan>
void loadChannels(const unsigned char *in, std::size_t n, float *out) {
    for (std::size_t i = 0; i < n; ++i) {
        Chan c;
        std::memcpy(&c, in + i * sizeof c, sizeof c);
        out[i] = float(c);
    }
}

// clampRound over a run of values, handing each whole-number result to put(i, value). Written so that it
// vectorises: the clamping works on the values' bits as whole numbers (a float of 0 or more orders like its bits;
// negatives and negative NaNs have the sign bit, positive NaNs lie above infinity), as float comparisons would
// keep the loop from vectorising, and a value of 0 or more rounds by truncating v + 0.5.
template <typename Put>
void clampRoundRun(const float *in, std::size_t n, float hi, Put put) {
    constexpr std::int32_t kInfinityBits = 0x7F800000;
    std::int32_t hi_bits;
    std::memcpy(&hi_bits, &hi, sizeof hi_bits);
    constexpr std::size_t kChunk = 256;
    std::int32_t bits[kChunk];
    float clamped[kChunk];
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t m = n - start < kChunk ? n - start : kChunk;
        std::memcpy(bits, in + start, m * sizeof(float));
        for (std::size_t i = 0; i < m; ++i) {
            std::int32_t b = bits[i];
            b = b > kInfinityBits ? 0 : b;  // positive NaN
            b = b < 0 ? 0 : b;              // negative, negative NaN, -0
            bits[i] = b < hi_bits ? b : hi_bits;
        }
        std::memcpy(clamped, bits, m * sizeof(float));
        for (std::size_t i = 0; i < m; ++i) put(start + i, std::int32_t(clamped[i] + 0.5f));
    }
}

// Stores n channel values, already in the world's depth, rounded and clamped to its range.
void storeRounded(const float *in, std::size_t n, unsigned char *out, Depth depth) {
    switch (depth) {
    case Depth::k8: clampRoundRun(in, n, 255.0f, [out](std::size_t i, std::int32_t v) { out[i] = A_u_char(v); }); break;
    case Depth::k16:
        clampRoundRun(in, n, 32768.0f, [out](std::size_t i, std::int32_t v) {
            const A_u_short c = A_u_short(v);
            std::memcpy(out + i * sizeof c, &c, sizeof c);
        });
        break;
    case Depth::k32: storeChannels<float>(in, n, out, [](float v) { return v; }); break;
    }
}

}  // namespace

Image ReadPixels(const PF_EffectWorld &world, Depth depth) {
    if (world.width < 0 || world.height < 0) throw std::invalid_argument("ReadWorld: negative world size");
    if (world.data == nullptr) return Image(world.width, world.height, depth);
    // Row by row onto the end of the picture's channels: zero-filling them first would write the picture twice.
    Image img;
    img.width = world.width;
    img.height = world.height;
    img.depth = depth;
    const std::size_t channels = std::size_t(world.width) * 4;
    img.argb.reserve(channels * std::size_t(world.height));
    std::vector<float> row_values(channels);
    for (int y = 0; y < world.height; ++y) {
        const unsigned char *row = static_cast<const unsigned char *>(world.data) + std::ptrdiff_t(y) * world.rowbytes;
        switch (depth) {
        case Depth::k8: loadChannels<A_u_char>(row, channels, row_values.data()); break;
        case Depth::k16: loadChannels<A_u_short>(row, channels, row_values.data()); break;
        case Depth::k32: loadChannels<float>(row, channels, row_values.data()); break;
        }
        img.argb.insert(img.argb.end(), row_values.begin(), row_values.end());
    }
    return img;
}

void WritePixels(PF_EffectWorld &world, Depth depth, const Image &image) {
    if (image.width != world.width || image.height != world.height)
        throw std::invalid_argument("WriteWorld: picture is " + std::to_string(image.width) + "x" +
                                    std::to_string(image.height) + ", world is " + std::to_string(world.width) +
                                    "x" + std::to_string(world.height));
    if (world.data == nullptr) throw std::invalid_argument("WriteWorld: world has no pixels");
    Image converted;
    if (image.depth != depth) converted = ConvertImage(image, depth);
    const Image &src = image.depth == depth ? image : converted;
    const std::size_t channels = std::size_t(world.width) * 4;
    for (int y = 0; y < world.height; ++y) {
        unsigned char *row = static_cast<unsigned char *>(world.data) + std::ptrdiff_t(y) * world.rowbytes;
        storeRounded(src.argb.data() + channels * std::size_t(y), channels, row, depth);
    }
}

LayerPixels PackPixels(const Image &src, int downsample, Depth depth) {
    Image small;
    if (downsample > 1) small = Downsample(src, downsample);
    const Image &pic = downsample > 1 ? small : src;
    LayerPixels out;
    out.width = pic.width;
    out.height = pic.height;
    out.depth = depth;
    // Left uninitialised until packed, as every byte is written.
    unsigned char *o = new unsigned char[out.row_bytes() * std::size_t(out.height)];
    out.bytes.reset(o, std::default_delete<unsigned char[]>());
    const std::size_t n = std::size_t(4) * std::size_t(pic.width) * std::size_t(pic.height);
    const float *in = pic.argb.data();
    const Depth from = pic.depth;
    if (from == depth) {
        storeRounded(in, n, o, depth);
    } else if (from == Depth::k8) {
        // Widening repeats for every channel of a picture, and the float one searches; 256 values say it all.
        float wide[256];
        for (int v = 0; v < 256; ++v) wide[v] = Widen8(std::uint8_t(v), depth);
        clampRoundRun(in, n, 255.0f, [&wide, o, depth](std::size_t i, std::int32_t v) {
            if (depth == Depth::k16) {
                const A_u_short c = A_u_short(wide[v]);
                std::memcpy(o + i * sizeof c, &c, sizeof c);
            } else {
                std::memcpy(o + i * sizeof(float), &wide[v], sizeof(float));
            }
        });
    } else {
        switch (depth) {
        case Depth::k8:
            storeChannels<A_u_char>(in, n, o, [from](float v) { return A_u_char(convertChannel(v, from, Depth::k8)); });
            break;
        case Depth::k16:
            storeChannels<A_u_short>(in, n, o,
                                     [from](float v) { return A_u_short(convertChannel(v, from, Depth::k16)); });
            break;
        case Depth::k32:
            storeChannels<float>(in, n, o, [from](float v) { return convertChannel(v, from, Depth::k32); });
            break;
        }
    }
    return out;
}

LayerPixels PackPixels(const std::shared_ptr<const PackedImage> &packed, int downsample, Depth depth) {
    const PackedImage &src = *packed;
    const int factor = downsample > 1 ? downsample : 1;
    if (src.bytes.empty()) {
        LayerPixels out;
        out.width = (src.width + factor - 1) / factor;
        out.height = (src.height + factor - 1) / factor;
        out.depth = depth;
        return out;
    }
    if (factor == 1 && src.depth == depth) {
        LayerPixels out;
        out.width = src.width;
        out.height = src.height;
        out.depth = depth;
        out.bytes = std::shared_ptr<const unsigned char>(packed, src.bytes.data());
        return out;
    }
    // Anything else goes the way of the same values given as a picture.
    Image img;
    img.width = src.width;
    img.height = src.height;
    img.depth = src.depth;
    img.argb.resize(std::size_t(4) * std::size_t(src.width) * std::size_t(src.height));
    switch (src.depth) {
    case Depth::k8: loadChannels<A_u_char>(src.bytes.data(), img.argb.size(), img.argb.data()); break;
    case Depth::k16: loadChannels<A_u_short>(src.bytes.data(), img.argb.size(), img.argb.data()); break;
    case Depth::k32: loadChannels<float>(src.bytes.data(), img.argb.size(), img.argb.data()); break;
    }
    return PackPixels(img, factor, depth);
}

PackedImage PackWorld(const PF_EffectWorld &world, Depth depth) {
    if (world.width < 0 || world.height < 0) throw std::invalid_argument("PackWorld: negative world size");
    PackedImage out;
    out.width = world.width;
    out.height = world.height;
    out.depth = depth;
    const std::size_t used = std::size_t(world.width) * std::size_t(PixelSize(depth));
    out.bytes.resize(used * std::size_t(world.height));
    for (int y = 0; y < world.height && world.data != nullptr; ++y)
        std::memcpy(out.bytes.data() + used * std::size_t(y),
                    static_cast<const unsigned char *>(world.data) + std::ptrdiff_t(y) * world.rowbytes, used);
    return out;
}

Image Downsample(const Image &src, int factor) {
    if (factor <= 1) return src;
    const int w = (src.width + factor - 1) / factor;
    const int h = (src.height + factor - 1) / factor;
    Image out(w, h, src.depth);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double sum[4] = {0, 0, 0, 0};
            int n = 0;
            for (int sy = y * factor; sy < (y + 1) * factor && sy < src.height; ++sy) {
                for (int sx = x * factor; sx < (x + 1) * factor && sx < src.width; ++sx) {
                    const float *p = src.at(sx, sy);
                    for (int c = 0; c < 4; ++c) sum[c] += p[c];
                    ++n;
                }
            }
            float *o = out.at(x, y);
            for (int c = 0; c < 4; ++c) {
                const double mean = sum[c] / n;
                // Integer depths stay whole numbers, as their worlds can only hold those.
                o[c] = src.depth == Depth::k32 ? float(mean) : float(std::floor(mean + 0.5));
            }
        }
    }
    return out;
}

}  // namespace vbhost
