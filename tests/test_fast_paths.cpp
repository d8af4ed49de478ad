// The arithmetic shortcuts taken for speed against the plain rules they replace: channel narrowing, the
// averaging of oversampled groups and the host's box blur, over every value or size where that is feasible.
#include "host/host.h"
#include "host/image_ops.h"
#include "render/pixels.h"
#include "synthesis/geometry.h"
#include "synthesis/row_synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The narrowing rules written the obvious way: in double for 16-bit, in single precision with branches for float.
int PlainNarrow16(A_u_short v) {
    const A_long n = static_cast<A_long>(255.0 * double(v) / 32768.0);
    return n >= 255 ? 255 : n;
}

int PlainNarrowFloat(float v) {
    const float product = 255.0f * v;
    if (!(product >= 0.0f)) return 0;
    if (product >= 255.0f) return 255;
    return static_cast<A_long>(product);
}

TEST(FastNarrowing, SixteenBitMatchesTheDoubleRuleForEveryValue) {
    for (uint32_t v = 0; v <= 0xFFFF; ++v) {
        ASSERT_EQ(int(Narrow16To8(A_u_short(v))), PlainNarrow16(A_u_short(v))) << "16-bit value " << v;
    }
}

TEST(FastNarrowing, FloatMatchesTheBranchingRule) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 1.0f,
                                 -1.0f,
                                 2.0f,
                                 1e30f,
                                 -1e30f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::denorm_min(),
                                 std::numeric_limits<float>::max()};
    // Every k / 255 and its neighbours, where truncation changes its answer.
    for (int k = 0; k <= 256; ++k) {
        const float f = float(k) / 255.0f;
        values.push_back(f);
        values.push_back(std::nextafter(f, 2.0f));
        values.push_back(std::nextafter(f, -1.0f));
    }
    // A fine sweep across and beyond the nominal range.
    for (int i = -(1 << 16); i <= (1 << 21); ++i) values.push_back(float(i) / float(1 << 20));
    for (float v : values) {
        ASSERT_EQ(int(NarrowFloatTo8(v)), PlainNarrowFloat(v)) << "float value " << v;
    }
}

// A deep world over plain memory, rows padded, filled by a function of the pixel's index.
template <typename Pixel>
struct DeepWorld {
    std::vector<unsigned char> bytes;
    PF_EffectWorld world{};
    DeepWorld(int w, int h, Pixel (*fill)(int)) {
        world.width = w;
        world.height = h;
        world.rowbytes = A_long(w * sizeof(Pixel) + 16);
        bytes.assign(size_t(world.rowbytes) * h, 0);
        world.data = bytes.data();
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                reinterpret_cast<Pixel *>(bytes.data() + size_t(y) * world.rowbytes)[x] = fill(y * w + x);
    }
};

// Wide rows, so that the whole-world loops run their long (vectorised) stretches and not only their tails;
// every channel is checked against the plain rule, which also catches channels landing in the wrong place.
TEST(FastNarrowing, WholeWorldConversionsNarrowEveryChannelByTheRule) {
    vbhost::Host host;
    PF_InData *in_data = &host.in_data();
    {
        DeepWorld<PF_Pixel16> src(256, 256, [](int i) {
            const A_u_short v = A_u_short(i);
            return PF_Pixel16{v, A_u_short(0xFFFF - v), A_u_short(v / 2), A_u_short((v * 7) & 0xFFFF)};
        });
        PF_EffectWorld dst{};
        ASSERT_EQ(ConvertWorld16ToWorld8(in_data, &src.world, &dst), PF_Err_NONE);
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) {
                const PF_Pixel16 in = reinterpret_cast<const PF_Pixel16 *>(src.bytes.data() +
                                                                          size_t(y) * src.world.rowbytes)[x];
                const PF_Pixel8 got = *GetPixel8(&dst, x, y);
                ASSERT_TRUE(got.alpha == PlainNarrow16(in.alpha) && got.red == PlainNarrow16(in.red) &&
                            got.green == PlainNarrow16(in.green) && got.blue == PlainNarrow16(in.blue))
                    << "16-bit pixel " << x << "," << y;
            }
        PF_DISPOSE_WORLD(&dst);
    }
    {
        DeepWorld<PF_PixelFloat> src(1000, 40, [](int i) {
            const float v = float(i - 2000) / 30000.0f;  // from below 0 to above 1
            return PF_PixelFloat{v, 1.0f - v, v * 0.5f, i % 97 == 0 ? std::nanf("") : v * 255.0f / 256.0f};
        });
        PF_EffectWorld dst{};
        ASSERT_EQ(ConvertWorld32ToWorld8(in_data, &src.world, &dst), PF_Err_NONE);
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 1000; ++x) {
                const PF_PixelFloat in = reinterpret_cast<const PF_PixelFloat *>(src.bytes.data() +
                                                                                size_t(y) * src.world.rowbytes)[x];
                const PF_Pixel8 got = *GetPixel8(&dst, x, y);
                ASSERT_TRUE(got.alpha == PlainNarrowFloat(in.alpha) && got.red == PlainNarrowFloat(in.red) &&
                            got.green == PlainNarrowFloat(in.green) && got.blue == PlainNarrowFloat(in.blue))
                    << "float pixel " << x << "," << y;
            }
        PF_DISPOSE_WORLD(&dst);
    }
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
}

// Row lengths whose channel counts fall on and off the sixteen-channel stretches, with the awkward values at
// every position, so that both the long stretch and the tail meet each of them.
TEST(FastNarrowing, FloatRowsNarrowEveryChannelByTheRuleAtEveryPosition) {
    const std::vector<float> awkward = {std::nanf(""), -std::nanf(""), std::numeric_limits<float>::infinity(),
                                        -std::numeric_limits<float>::infinity(), -0.0f, -1e-30f, 1.0f,
                                        std::nextafter(1.0f, 0.0f), 254.5f / 255.0f, 3.0f / 255.0f, 0.5f};
    for (int width = 1; width <= 9; ++width) {
        const size_t channels = size_t(width) * 4;
        for (size_t shift = 0; shift < channels; ++shift) {
            std::vector<float> in(channels);
            for (size_t i = 0; i < channels; ++i) in[i] = awkward[(i + shift) % awkward.size()];
            std::vector<PF_Pixel8> out(static_cast<size_t>(width));
            NarrowRow32To8(reinterpret_cast<const PF_PixelFloat *>(in.data()), out.data(), width);
            const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out.data());
            for (size_t i = 0; i < channels; ++i) {
                ASSERT_EQ(int(bytes[i]), PlainNarrowFloat(in[i]))
                    << "width " << width << " shift " << shift << " channel " << i << " value " << in[i];
            }
        }
    }
}

// Every 8-bit value at every channel position of rows long enough for the vector stretches and with tails,
// against the per-pixel widening rules (float compared bit for bit).
TEST(FastWidening, RowsWidenEveryValueLikeThePixelRules) {
    for (int width : {1, 3, 64, 67}) {
        for (int offset = 0; offset < 256; offset += 37) {
            std::vector<PF_Pixel8> in(static_cast<size_t>(width));
            uint8_t *bytes = reinterpret_cast<uint8_t *>(in.data());
            for (int i = 0; i < 4 * width; ++i) bytes[i] = uint8_t(i + offset);
            std::vector<PF_Pixel16> out16(static_cast<size_t>(width));
            std::vector<PF_PixelFloat> out32(static_cast<size_t>(width));
            WidenRow8To16(in.data(), out16.data(), width);
            WidenRow8To32(in.data(), out32.data(), width);
            for (int x = 0; x < width; ++x) {
                const PF_Pixel16 e16 = ConvertPixel8ToPixel16(in[size_t(x)]);
                const PF_PixelFloat e32 = ConvertPixel8ToPixel32(in[size_t(x)]);
                const PF_Pixel16 &g16 = out16[size_t(x)];
                ASSERT_TRUE(g16.alpha == e16.alpha && g16.red == e16.red && g16.green == e16.green &&
                            g16.blue == e16.blue)
                    << "16-bit, width " << width << " offset " << offset << " pixel " << x;
                ASSERT_EQ(std::memcmp(&out32[size_t(x)], &e32, sizeof e32), 0)
                    << "float, width " << width << " offset " << offset << " pixel " << x;
            }
        }
    }
}

std::string Str(const PF_Pixel8 &p) {
    std::ostringstream s;
    s << "(" << int(p.alpha) << "," << int(p.red) << "," << int(p.green) << "," << int(p.blue) << ")";
    return s.str();
}

// Every group size the averaging may see, and the sizes beyond, with groups that reach the largest sums.
TEST(FastAveraging, MatchesPlainDivisionForEveryGroupSize) {
    std::mt19937 gen(11);
    for (int32_t N = 1; N <= 80; ++N) {
        StereogramGeometry g;
        g.w = 150;  // several of the blocks the averages are gathered in, the last one partly filled
        g.N = N;
        g.W = g.w * N;
        std::vector<PF_Pixel8> working(size_t(g.W));
        for (int32_t ox = 0; ox < g.w; ++ox) {
            for (int32_t k = 0; k < N; ++k) {
                PF_Pixel8 &p = working[size_t(ox) * N + k];
                switch (ox % 4) {
                    case 0: p = PF_Pixel8{255, 255, 255, 255}; break;  // the largest sum
                    case 1: p = PF_Pixel8{0, 0, 0, 0}; break;
                    case 2:  // one short of the next quotient in every channel
                        p = k == 0 ? PF_Pixel8{254, 0, 254, 0} : PF_Pixel8{255, 0, 255, 0};
                        break;
                    default:
                        p = PF_Pixel8{uint8_t(gen()), uint8_t(gen()), uint8_t(gen()), uint8_t(gen())};
                        break;
                }
            }
        }
        std::vector<PF_Pixel8> expected(size_t(g.w));
        for (int32_t ox = 0; ox < g.w; ++ox) {
            int a = 0, r = 0, gr = 0, b = 0;
            for (int32_t k = 0; k < N; ++k) {
                const PF_Pixel8 &p = working[size_t(ox) * N + k];
                a += p.alpha;
                r += p.red;
                gr += p.green;
                b += p.blue;
            }
            expected[size_t(ox)] = PF_Pixel8{uint8_t(a / N), uint8_t(r / N), uint8_t(gr / N), uint8_t(b / N)};
        }
        std::vector<PF_Pixel8> out(size_t(g.w));
        AverageRow(g, working.data(), out.data());
        std::vector<PF_Pixel8> inPlace = working;
        AverageRow(g, inPlace.data(), inPlace.data());
        for (int32_t ox = 0; ox < g.w; ++ox) {
            const PF_Pixel8 &e = expected[size_t(ox)];
            const PF_Pixel8 &o = out[size_t(ox)];
            const PF_Pixel8 &i = inPlace[size_t(ox)];
            ASSERT_TRUE(o.alpha == e.alpha && o.red == e.red && o.green == e.green && o.blue == e.blue)
                << "N " << N << " pixel " << ox << ": got " << Str(o) << " expected " << Str(e);
            ASSERT_TRUE(i.alpha == e.alpha && i.red == e.red && i.green == e.green && i.blue == e.blue)
                << "N " << N << " pixel " << ox << " in place: got " << Str(i) << " expected " << Str(e);
        }
    }
}

// ---------------------------------------------------------------- the host's blur

// The blur as its definition reads: the three box widths whose variances add up to sigma squared, each at least
// 3, then each box pass over every row and then each over every column, a window of 2r + 1 pixels with edge
// pixels repeated, and the window's sum divided by its width, rounded to nearest.
void PlainBoxBlur(std::vector<uint8_t> &px, int w, int h, double radius) {
    const double sigma = std::min(radius, 200000.0);
    const double ideal = std::sqrt(12.0 * sigma * sigma / 3 + 1.0);
    int wl = int(std::floor(ideal));
    if (wl % 2 == 0) --wl;
    const long m = std::lround((12.0 * sigma * sigma - 3 * double(wl) * wl - 12.0 * wl - 9.0) / (-4.0 * wl - 4.0));
    std::vector<int> radii;
    for (int i = 0; i < 3; ++i) {
        const int width = i < m ? wl : wl + 2;
        radii.push_back(std::max(1, (width - 1) / 2));
    }
    auto pass = [&](bool rows, int r) {
        const std::vector<uint8_t> in = px;
        const int len = rows ? w : h, lines = rows ? h : w;
        for (int line = 0; line < lines; ++line)
            for (int i = 0; i < len; ++i)
                for (int c = 0; c < 4; ++c) {
                    uint64_t sum = 0;
                    for (int k = -r; k <= r; ++k) {
                        const int j = std::clamp(i + k, 0, len - 1);
                        sum += in[(rows ? size_t(line) * w + j : size_t(j) * w + line) * 4 + c];
                    }
                    px[(rows ? size_t(line) * w + i : size_t(i) * w + line) * 4 + c] =
                        uint8_t((sum + uint64_t(r)) / uint64_t(2 * r + 1));
                }
    };
    for (int r : radii) pass(true, r);
    for (int r : radii) pass(false, r);
}

TEST(FastBlur, MatchesThePlainBoxPassesExactly) {
    struct Size {
        int w, h;
    } sizes[] = {{1, 1}, {3, 2}, {17, 9}, {64, 40}, {301, 5}, {5, 130}};
    std::mt19937 gen(5);
    for (const Size &size : sizes) {
        for (double radius : {0.5, 1.0, 1.2, 2.5, 7.0, 30.0, 100.0, 300.0}) {
            // The plain blur costs the window per pixel; radius 300 takes the wide-box division path.
            if (radius > 50 && size.w * size.h > 1000) continue;
            std::vector<uint8_t> px(size_t(size.w) * size.h * 4);
            for (uint8_t &v : px) v = uint8_t(gen() % 3 == 0 ? 255 : gen());
            std::vector<uint8_t> expected = px;
            PlainBoxBlur(expected, size.w, size.h, radius);
            // The world under test has padded rows whose bytes must survive.
            const int rowbytes = size.w * 4 + 12;
            std::vector<uint8_t> bytes(size_t(rowbytes) * size.h, 0xEE);
            for (int y = 0; y < size.h; ++y)
                std::copy_n(&px[size_t(y) * size.w * 4], size.w * 4, &bytes[size_t(y) * rowbytes]);
            PF_EffectWorld world{};
            world.width = size.w;
            world.height = size.h;
            world.rowbytes = rowbytes;
            world.data = bytes.data();
            vbhost::FastBlur8(world, radius);
            for (int y = 0; y < size.h; ++y) {
                for (int i = 0; i < size.w * 4; ++i) {
                    ASSERT_EQ(int(bytes[size_t(y) * rowbytes + i]), int(expected[size_t(y) * size.w * 4 + i]))
                        << size.w << "x" << size.h << " radius " << radius << ": pixel " << i / 4 << "," << y
                        << " channel " << i % 4;
                }
                for (int i = size.w * 4; i < rowbytes; ++i)
                    ASSERT_EQ(bytes[size_t(y) * rowbytes + i], 0xEE) << size.w << "x" << size.h << " padding";
            }
        }
    }
}

// ---------------------------------------------------------------- the host's convolution

// The convolution divides in double only where that is exact and falls back to 64-bit integers elsewhere: the
// weights' sums here reach both sides of that line, in 8 and 16 bits, and every result is checked against the
// plain rule (weighted sum over edge-replicated neighbours, divided by the weights' sum rounding halves away
// from zero, clamped).
TEST(FastConvolve, MatchesThePlainRuleForSmallAndHugeWeightSums) {
    std::mt19937 gen(17);
    struct Kernel {
        const char *name;
        int size;
        std::vector<A_long> weights;
    };
    std::vector<Kernel> kernels;
    kernels.push_back({"sharpen", 3, {0, -1147, 0, -1147, 6883, -1147, 0, -1147, 0}});
    std::vector<A_long> huge(15 * 15), hugeNegative(15 * 15), mixed(7 * 7);
    for (A_long &v : huge) v = A_long(2000000000 - A_long(gen() % 1000));           // sum near 4.5e11
    for (A_long &v : hugeNegative) v = -A_long(2000000000 - A_long(gen() % 1000));  // negative sum
    for (A_long &v : mixed) v = A_long(gen() % 200001) - 100000;
    kernels.push_back({"15x15 huge weights", 15, huge});
    kernels.push_back({"15x15 huge negative weights", 15, hugeNegative});
    kernels.push_back({"7x7 mixed signs", 7, mixed});
    for (vbhost::Depth depth : {vbhost::Depth::k8, vbhost::Depth::k16}) {
        const int channelBytes = depth == vbhost::Depth::k8 ? 1 : 2;
        const long top = depth == vbhost::Depth::k8 ? 255 : 32768;
        const int w = 37, h = 19, rowbytes = w * 4 * channelBytes + 8;
        std::vector<uint8_t> srcBytes(size_t(rowbytes) * h), dstBytes(srcBytes.size());
        auto channel = [&](std::vector<uint8_t> &bytes, int x, int y, int c) -> long {
            const uint8_t *p = &bytes[size_t(y) * rowbytes + size_t(x * 4 + c) * channelBytes];
            return channelBytes == 1 ? long(*p) : long(*reinterpret_cast<const uint16_t *>(p));
        };
        for (int y = 0; y < h; ++y)
            for (int i = 0; i < w * 4; ++i) {
                const long v = gen() % 4 == 0 ? (gen() % 2 ? top : 0) : long(gen() % (top + 1));
                uint8_t *p = &srcBytes[size_t(y) * rowbytes + size_t(i) * channelBytes];
                if (channelBytes == 1) *p = uint8_t(v);
                else *reinterpret_cast<uint16_t *>(p) = uint16_t(v);
            }
        PF_EffectWorld src{}, dst{};
        src.width = dst.width = w;
        src.height = dst.height = h;
        src.rowbytes = dst.rowbytes = rowbytes;
        src.data = srcBytes.data();
        dst.data = dstBytes.data();
        for (const Kernel &k : kernels) {
            const A_long *kw = k.weights.data();
            ASSERT_EQ(vbhost::Convolve(src, depth, PF_LRect{0, 0, w, h}, k.size, kw, kw, kw, kw, dst), PF_Err_NONE)
                << k.name;
            long double sum = 0;
            for (A_long v : k.weights) sum += v;
            const int half = k.size / 2;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 4; ++c) {
                        long double acc = 0;
                        for (int ky = 0; ky < k.size; ++ky)
                            for (int kx = 0; kx < k.size; ++kx)
                                acc += (long double)kw[ky * k.size + kx] *
                                       channel(srcBytes, std::clamp(x + kx - half, 0, w - 1),
                                               std::clamp(y + ky - half, 0, h - 1), c);
                        const long double q = std::round(acc / sum);
                        const long expected = long(std::min<long double>(std::max<long double>(q, 0), top));
                        ASSERT_EQ(channel(dstBytes, x, y, c), expected)
                            << k.name << ", " << int(depth) << "-bit, pixel " << x << "," << y << " channel " << c;
                    }
        }
    }
}

}  // namespace
