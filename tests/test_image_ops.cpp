// The stand-in host's pixel operations on padded worlds: copy between depths, fast blur, convolution, transform.
#include "host/image_ops.h"
#include "render/pixels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using vbhost::Depth;

const char *Name(Depth d) { return d == Depth::k8 ? "8" : d == Depth::k16 ? "16" : "32"; }
int PixelSize(Depth d) { return d == Depth::k8 ? 4 : d == Depth::k16 ? 8 : 16; }
double RangeMax(Depth d) { return d == Depth::k8 ? 255.0 : d == Depth::k16 ? 32768.0 : 1.0; }

// A world over memory of the test's own, with spare bytes (0xEE) at the end of every row.
struct TestWorld {
    Depth depth;
    std::vector<unsigned char> bytes;
    PF_EffectWorld world{};

    TestWorld(int w, int h, Depth d, int padding = 12) : depth(d) {
        world.width = w;
        world.height = h;
        world.rowbytes = w * PixelSize(d) + padding;
        bytes.assign(std::size_t(world.rowbytes) * h + 1, 0xEE);  // +1 so that a zero-sized world has an address
        world.data = bytes.data();
    }
    unsigned char *at(int x, int y) { return bytes.data() + std::size_t(y) * world.rowbytes + x * PixelSize(depth); }
    // Channel c (0 alpha, 1 red, 2 green, 3 blue) as a number in the depth's own scale.
    double get(int x, int y, int c) {
        unsigned char *p = at(x, y);
        switch (depth) {
            case Depth::k8: return p[c];
            case Depth::k16: return reinterpret_cast<std::uint16_t *>(p)[c];
            case Depth::k32: return reinterpret_cast<float *>(p)[c];
        }
        return 0;
    }
    void set(int x, int y, int c, double v) {
        unsigned char *p = at(x, y);
        switch (depth) {
            case Depth::k8: p[c] = std::uint8_t(v); break;
            case Depth::k16: reinterpret_cast<std::uint16_t *>(p)[c] = std::uint16_t(v); break;
            case Depth::k32: reinterpret_cast<float *>(p)[c] = float(v); break;
        }
    }
    void fill(double a, double r, double g, double b) {
        for (int y = 0; y < world.height; ++y)
            for (int x = 0; x < world.width; ++x) {
                set(x, y, 0, a);
                set(x, y, 1, r);
                set(x, y, 2, g);
                set(x, y, 3, b);
            }
    }
    bool padding_intact() const {
        const int row = world.width * PixelSize(depth);
        for (int y = 0; y < world.height; ++y)
            for (int i = row; i < world.rowbytes; ++i)
                if (bytes[std::size_t(y) * world.rowbytes + i] != 0xEE) return false;
        return true;
    }
};

// Deterministic pseudo-random channel values in a depth's range.
struct Lcg {
    std::uint32_t s;
    explicit Lcg(std::uint32_t seed) : s(seed) {}
    std::uint32_t next() { return s = s * 1664525u + 1013904223u; }
    double value(Depth d) {
        const std::uint32_t v = next() >> 8;
        switch (d) {
            case Depth::k8: return v % 256;
            case Depth::k16: return v % 32769;
            case Depth::k32: return (v % 1001) / 1000.0;
        }
        return 0;
    }
};

void FillRandom(TestWorld &w, std::uint32_t seed) {
    Lcg rng(seed);
    for (int y = 0; y < w.world.height; ++y)
        for (int x = 0; x < w.world.width; ++x)
            for (int c = 0; c < 4; ++c) w.set(x, y, c, rng.value(w.depth));
}

// ---------------------------------------------------------------------------------------------------------------
// CopyPixels

TEST(CopyPixels, EightBitValuesSurviveEveryWideningAndNarrowing) {
    for (Depth deep : {Depth::k16, Depth::k32}) {
        TestWorld src(16, 16, Depth::k8, 8), mid(16, 16, deep, 20), back(16, 16, Depth::k8, 4);
        for (int v = 0; v < 256; ++v)
            for (int c = 0; c < 4; ++c) src.set(v % 16, v / 16, c, (v + 85 * c) % 256);
        ASSERT_EQ(vbhost::CopyPixels(src.world, Depth::k8, nullptr, mid.world, deep, nullptr), PF_Err_NONE);
        ASSERT_EQ(vbhost::CopyPixels(mid.world, deep, nullptr, back.world, Depth::k8, nullptr), PF_Err_NONE);
        for (int v = 0; v < 256; ++v) {
            const int x = v % 16, y = v / 16;
            for (int c = 0; c < 4; ++c) {
                const double expected = src.get(x, y, c);
                EXPECT_EQ(back.get(x, y, c), expected) << "host round trip via " << Name(deep) << " of " << expected;
                // The effect narrows with its own truncating rules; the host's widening must survive those too.
                const double wide = mid.get(x, y, c);
                const int narrowed = deep == Depth::k16 ? Narrow16To8(A_u_short(wide)) : NarrowFloatTo8(float(wide));
                EXPECT_EQ(narrowed, expected) << "effect narrowing via " << Name(deep) << " of " << expected;
            }
        }
        EXPECT_TRUE(mid.padding_intact()) << Name(deep);
        EXPECT_TRUE(back.padding_intact()) << Name(deep);
    }
}

TEST(CopyPixels, NarrowingAndDeepConversionsRoundAndClamp) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case { Depth from, to; double in, out; } cases[] = {
        {Depth::k16, Depth::k8, 0, 0},          {Depth::k16, Depth::k8, 64, 0},
        {Depth::k16, Depth::k8, 65, 1},         {Depth::k16, Depth::k8, 16384, 128},  // 127.5 rounds up
        {Depth::k16, Depth::k8, 32768, 255},    {Depth::k16, Depth::k8, 65535, 255},
        {Depth::k32, Depth::k8, 0.5, 128},      {Depth::k32, Depth::k8, 1.0 / 255, 1},
        {Depth::k32, Depth::k8, 1.5, 255},      {Depth::k32, Depth::k8, -0.1, 0},
        {Depth::k32, Depth::k8, nan, 0},        {Depth::k16, Depth::k32, 16384, 0.5},
        {Depth::k16, Depth::k32, 32768, 1.0},   {Depth::k32, Depth::k16, 0.5, 16384},
        {Depth::k32, Depth::k16, 2.0, 32768},   {Depth::k32, Depth::k16, -1.0, 0},
        {Depth::k32, Depth::k16, nan, 0},       {Depth::k32, Depth::k16, 0.6 / 32768, 1},
        {Depth::k16, Depth::k16, 65535, 65535},  // same depth copies bytes, even out-of-range ones
    };
    for (const auto &k : cases) {
        TestWorld src(3, 2, k.from), dst(3, 2, k.to);
        src.fill(k.in, k.in, k.in, k.in);
        ASSERT_EQ(vbhost::CopyPixels(src.world, k.from, nullptr, dst.world, k.to, nullptr), PF_Err_NONE);
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(dst.get(2, 1, c), k.out) << Name(k.from) << "->" << Name(k.to) << " of " << k.in;
        EXPECT_TRUE(dst.padding_intact()) << Name(k.from) << "->" << Name(k.to);
    }
}

TEST(CopyPixels, RectsCopyOnlyTheirRegionIncludingWithinOneWorld) {
    TestWorld src(5, 4, Depth::k8), dst(4, 5, Depth::k16);
    FillRandom(src, 7);
    dst.fill(1, 2, 3, 4);
    const PF_Rect sr{1, 1, 4, 3}, dr{0, 2, 3, 4};
    ASSERT_EQ(vbhost::CopyPixels(src.world, Depth::k8, &sr, dst.world, Depth::k16, &dr), PF_Err_NONE);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 4; ++x) {
            const bool inside = x < 3 && y >= 2 && y < 4;
            for (int c = 0; c < 4; ++c) {
                const double expected = inside ? vbhost::Widen8(std::uint8_t(src.get(x + 1, y - 1, c)), Depth::k16)
                                               : double(c + 1);
                EXPECT_EQ(dst.get(x, y, c), expected) << "at " << x << "," << y << " channel " << c;
            }
        }

    // Overlapping regions of one world behave as if the source were read first.
    TestWorld one(6, 1, Depth::k8);
    one.fill(0, 0, 0, 0);
    for (int x = 0; x < 6; ++x) one.set(x, 0, 1, x + 10);
    const PF_Rect from{0, 0, 4, 1}, to{2, 0, 6, 1};
    ASSERT_EQ(vbhost::CopyPixels(one.world, Depth::k8, &from, one.world, Depth::k8, &to), PF_Err_NONE);
    const double expected[6] = {10, 11, 10, 11, 12, 13};
    for (int x = 0; x < 6; ++x) EXPECT_EQ(one.get(x, 0, 1), expected[x]) << "overlapping copy at " << x;

    TestWorld tall(3, 4, Depth::k8);
    FillRandom(tall, 12);
    TestWorld original = tall;  // read through its own bytes
    const PF_Rect upper{0, 0, 3, 3}, lower{0, 1, 3, 4};
    ASSERT_EQ(vbhost::CopyPixels(tall.world, Depth::k8, &upper, tall.world, Depth::k8, &lower), PF_Err_NONE);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(tall.get(x, y, 2), original.get(x, y == 0 ? 0 : y - 1, 2))
                << "rows moved down, at " << x << "," << y;
}

TEST(CopyPixels, RejectsBadWorldsAndRects) {
    TestWorld a(4, 3, Depth::k8), b(4, 3, Depth::k8), small(3, 3, Depth::k8);
    const PF_Rect big{0, 0, 5, 3}, neg{-1, 0, 2, 2}, two{0, 0, 2, 2}, three{0, 0, 3, 2}, inverted{2, 0, 1, 2};
    PF_EffectWorld null_data = a.world;
    null_data.data = nullptr;
    PF_EffectWorld negative = a.world;
    negative.width = -4;
    PF_EffectWorld narrow_stride = a.world;
    narrow_stride.rowbytes = 4 * 4 - 1;
    struct Case { const char *name; const PF_EffectWorld *src; const PF_Rect *sr; PF_EffectWorld *dst; const PF_Rect *dr; } cases[] = {
        {"whole worlds of different sizes", &a.world, nullptr, &small.world, nullptr},
        {"rect beyond the source", &a.world, &big, &b.world, nullptr},
        {"rect at negative position", &a.world, &neg, &b.world, &two},
        {"rects of different sizes", &a.world, &two, &b.world, &three},
        {"inverted rect", &a.world, &inverted, &b.world, &inverted},
        {"null source pixels", &null_data, nullptr, &b.world, nullptr},
        {"null destination pixels", &a.world, nullptr, &null_data, nullptr},
        {"negative width", &negative, nullptr, &b.world, nullptr},
        {"stride shorter than a row", &narrow_stride, nullptr, &b.world, nullptr},
    };
    for (const auto &k : cases) {
        const auto before = b.bytes;
        EXPECT_EQ(vbhost::CopyPixels(*k.src, Depth::k8, k.sr, *k.dst, Depth::k8, k.dr), PF_Err_BAD_CALLBACK_PARAM)
            << k.name;
        EXPECT_EQ(b.bytes, before) << k.name;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Convolve

// The obvious convolution: weights row by row over the neighbourhood, borders replicated, unity gain, rounding
// halves away from zero, clamped.
double OracleConvolve(TestWorld &src, int x, int y, int c, int ks, const A_long *k) {
    const int h = ks / 2;
    long double num = 0, den = 0;
    for (int j = 0; j < ks; ++j)
        for (int i = 0; i < ks; ++i) {
            const int sx = std::min(std::max(x + i - h, 0), src.world.width - 1);
            const int sy = std::min(std::max(y + j - h, 0), src.world.height - 1);
            num += (long double)k[j * ks + i] * src.get(sx, sy, c);
            den += k[j * ks + i];
        }
    if (den == 0) den = 1;
    long double v = num / den;
    if (src.depth != Depth::k32) v = std::round(v);
    return double(std::min<long double>(std::max<long double>(v, 0), RangeMax(src.depth)));
}

TEST(Convolve, MatchesOracleOnFourByFourWorlds) {
    // The effect's sharpen kernels (Sharpen 0.1 and 100) and some whose faults would show: a lone off-centre
    // weight (orientation), a zero-sum edge detector, a blur, and a 5x5 reaching past every border.
    const A_long sharpen01[9] = {0, -2366, 0, -2366, 11761, -2366, 0, -2366, 0};
    const A_long sharpen100[9] = {0, -2350080, 0, -2350080, 9402615, -2350080, 0, -2350080, 0};
    const A_long top_left[9] = {7, 0, 0, 0, 0, 0, 0, 0, 0};
    const A_long edges[9] = {0, -1, 0, -1, 4, -1, 0, -1, 0};
    const A_long box[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
    A_long wide[25], wide_positive[25];
    for (int i = 0; i < 25; ++i) {
        wide[i] = (i * 7) % 5 - 1;
        wide_positive[i] = 1 + i % 3;
    }
    const A_long identity1[1] = {3};
    struct Kernels { const char *name; int size; const A_long *a, *r, *g, *b; } kernels[] = {
        {"sharpen 0.1", 3, sharpen01, sharpen01, sharpen01, sharpen01},
        {"sharpen 100", 3, sharpen100, sharpen100, sharpen100, sharpen100},
        {"top-left weight", 3, top_left, top_left, top_left, top_left},
        {"zero-sum edges", 3, edges, edges, edges, edges},
        {"different kernel per channel", 3, box, sharpen01, top_left, edges},
        {"5x5", 5, wide, wide, wide_positive, wide},
        {"1x1", 1, identity1, identity1, identity1, identity1},
    };
    struct Area { const char *name; PF_LRect r; } areas[] = {
        {"whole", {0, 0, 4, 4}}, {"inner", {1, 1, 3, 4}}, {"beyond the world", {-3, 2, 10, 9}}, {"empty", {2, 2, 2, 4}},
    };
    for (Depth d : {Depth::k8, Depth::k16, Depth::k32}) {
        TestWorld src(4, 4, d);
        FillRandom(src, 11);
        // Hard contrast so that sharpening overshoots both ends of the range.
        src.set(1, 1, 1, 0);
        src.set(2, 1, 1, RangeMax(d));
        src.set(1, 2, 0, RangeMax(d));
        for (const auto &k : kernels)
            for (const auto &area : areas) {
                TestWorld dst(4, 4, d, 20);
                const double untouched = d == Depth::k32 ? 0.25 : std::floor(RangeMax(d) / 4);
                dst.fill(untouched, untouched, untouched, untouched);
                const std::string label = std::string(Name(d)) + "-bit, " + k.name + ", area " + area.name;
                ASSERT_EQ(vbhost::Convolve(src.world, d, area.r, k.size, k.a, k.r, k.g, k.b, dst.world), PF_Err_NONE)
                    << label;
                const A_long *per_channel[4] = {k.a, k.r, k.g, k.b};
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x) {
                        const bool inside = x >= area.r.left && x < area.r.right && y >= area.r.top && y < area.r.bottom;
                        for (int c = 0; c < 4; ++c) {
                            const double expected =
                                inside ? OracleConvolve(src, x, y, c, k.size, per_channel[c]) : untouched;
                            if (d == Depth::k32)
                                EXPECT_NEAR(dst.get(x, y, c), expected, 1e-6)
                                    << label << " at " << x << "," << y << " channel " << c;
                            else
                                EXPECT_EQ(dst.get(x, y, c), expected)
                                    << label << " at " << x << "," << y << " channel " << c;
                        }
                    }
                EXPECT_TRUE(dst.padding_intact()) << label;
            }
    }
}

TEST(Convolve, SharpenOfFlatAreaKeepsItAndEdgesClamp) {
    // With unity gain a flat world stays flat even for the strongest sharpen; a hard edge saturates.
    const A_long k[9] = {0, -2350080, 0, -2350080, 9402615, -2350080, 0, -2350080, 0};
    TestWorld src(6, 3, Depth::k8), dst(6, 3, Depth::k8);
    src.fill(255, 200, 200, 200);
    for (int y = 0; y < 3; ++y) src.set(3, y, 1, 40);
    const PF_LRect area{0, 0, 6, 3};
    ASSERT_EQ(vbhost::Convolve(src.world, Depth::k8, area, 3, k, k, k, k, dst.world), PF_Err_NONE);
    EXPECT_EQ(dst.get(0, 1, 1), 200);
    EXPECT_EQ(dst.get(0, 1, 0), 255);
    EXPECT_EQ(dst.get(2, 1, 1), 255);  // bright side of the edge overshoots
    EXPECT_EQ(dst.get(3, 1, 1), 0);    // dark line undershoots
}

TEST(Convolve, InPlaceReadsTheOriginalPixels) {
    const A_long k[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    TestWorld w(5, 5, Depth::k8), copy(5, 5, Depth::k8), expected(5, 5, Depth::k8);
    FillRandom(w, 3);
    copy.bytes = w.bytes;
    const PF_LRect area{0, 0, 5, 5};
    ASSERT_EQ(vbhost::Convolve(copy.world, Depth::k8, area, 3, k, k, k, k, expected.world), PF_Err_NONE);
    ASSERT_EQ(vbhost::Convolve(w.world, Depth::k8, area, 3, k, k, k, k, w.world), PF_Err_NONE);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 4; ++c) EXPECT_EQ(w.get(x, y, c), expected.get(x, y, c)) << x << "," << y;
}

TEST(Convolve, RejectsBadArguments) {
    TestWorld src(4, 4, Depth::k8), dst(4, 4, Depth::k8), small(2, 2, Depth::k8);
    const A_long k[17 * 17] = {1};
    PF_EffectWorld null_data = src.world;
    null_data.data = nullptr;
    PF_EffectWorld empty = src.world;
    empty.width = 0;
    const PF_LRect area{0, 0, 4, 4};
    struct Case { const char *name; const PF_EffectWorld *src; int size; const A_long *kern; PF_EffectWorld *dst; } cases[] = {
        {"even size", &src.world, 4, k, &dst.world},
        {"size 0", &src.world, 0, k, &dst.world},
        {"size 17", &src.world, 17, k, &dst.world},
        {"size -3", &src.world, -3, k, &dst.world},
        {"null kernel", &src.world, 3, nullptr, &dst.world},
        {"null source pixels", &null_data, 3, k, &dst.world},
        {"null destination pixels", &src.world, 3, k, &null_data},
        {"empty source with an area to fill", &empty, 3, k, &dst.world},
    };
    for (const auto &c : cases) {
        const auto before = dst.bytes;
        EXPECT_EQ(vbhost::Convolve(*c.src, Depth::k8, area, c.size, k, c.kern, k, k, *c.dst), PF_Err_BAD_CALLBACK_PARAM)
            << c.name;
        EXPECT_EQ(dst.bytes, before) << c.name;
    }
    // A destination smaller than the source is written only within its own bounds.
    EXPECT_EQ(vbhost::Convolve(src.world, Depth::k8, area, 3, k, k, k, k, small.world), PF_Err_NONE);
    EXPECT_TRUE(small.padding_intact());
}

// ---------------------------------------------------------------------------------------------------------------
// FastBlur8

TEST(FastBlur8, ConstantWorldStaysConstantAtAnyRadius) {
    for (double radius : {0.3, 1.0, 2.5, 10.0, 100.0, 1e9, std::numeric_limits<double>::infinity()}) {
        TestWorld w(7, 5, Depth::k8, 20);
        w.fill(201, 13, 128, 255);
        vbhost::FastBlur8(w.world, radius);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                ASSERT_EQ(w.get(x, y, 0), 201) << "radius " << radius << " at " << x << "," << y;
                ASSERT_EQ(w.get(x, y, 1), 13) << "radius " << radius;
                ASSERT_EQ(w.get(x, y, 2), 128) << "radius " << radius;
                ASSERT_EQ(w.get(x, y, 3), 255) << "radius " << radius;
            }
        EXPECT_TRUE(w.padding_intact()) << "radius " << radius;
    }
}

TEST(FastBlur8, NoRadiusMeansNoChange) {
    for (double radius : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
        TestWorld w(6, 4, Depth::k8);
        FillRandom(w, 5);
        const auto before = w.bytes;
        vbhost::FastBlur8(w.world, radius);
        EXPECT_EQ(w.bytes, before) << "radius " << radius;
    }
}

TEST(FastBlur8, SpreadsSymmetricallyAndKeepsEnergy) {
    // A bright dot, alpha included, on a transparent black world.
    TestWorld w(41, 41, Depth::k8);
    w.fill(0, 0, 0, 0);
    for (int c = 0; c < 4; ++c) w.set(20, 20, c, 255);
    for (int c = 0; c < 4; ++c) w.set(21, 20, c, 255);
    for (int c = 0; c < 4; ++c) w.set(20, 21, c, 255);
    for (int c = 0; c < 4; ++c) w.set(21, 21, c, 255);
    vbhost::FastBlur8(w.world, 3.0);
    for (int c = 0; c < 4; ++c) {
        double sum = 0;
        for (int y = 0; y < 41; ++y)
            for (int x = 0; x < 41; ++x) sum += w.get(x, y, c);
        EXPECT_NEAR(sum, 4 * 255.0, 4 * 255.0 * 0.1) << "energy of channel " << c;
        EXPECT_LT(w.get(20, 20, c), 255) << "centre lowered, channel " << c;
        EXPECT_GT(w.get(24, 20, c), 0) << "neighbourhood raised, channel " << c;
        EXPECT_EQ(w.get(40, 40, c), 0) << "far corner untouched, channel " << c;
        // Mirror symmetry about the 2x2 dot's centre.
        EXPECT_EQ(w.get(17, 20, c), w.get(24, 20, c)) << "left/right, channel " << c;
        EXPECT_EQ(w.get(20, 17, c), w.get(20, 24, c)) << "up/down, channel " << c;
    }
}

TEST(FastBlur8, ThreeBoxesAtEveryRadiusSetHowFarADotSpreads) {
    // Three boxes of widths w1..w3 carry a dot (w1 + w2 + w3 - 3) / 2 pixels each way. Small radii still take
    // three 3-wide boxes, so they all reach 3 pixels and blur alike; larger ones reach further.
    struct Case {
        double radius;
        int reach;
    } cases[] = {{0.1, 3}, {0.5, 3}, {1.0, 3}, {1.4, 3}, {2.0, 4}, {3.0, 7}};
    std::vector<unsigned char> smallest;
    for (const Case &c : cases) {
        TestWorld w(31, 1, Depth::k8);
        w.fill(0, 0, 0, 0);
        for (int ch = 0; ch < 4; ++ch) w.set(15, 0, ch, 255);
        vbhost::FastBlur8(w.world, c.radius);
        for (int x = 0; x < 31; ++x) {
            const int distance = x < 15 ? 15 - x : x - 15;
            if (distance <= c.reach)
                EXPECT_GT(w.get(x, 0, 1), 0) << "radius " << c.radius << ": pixel " << x << " within reach";
            else
                EXPECT_EQ(w.get(x, 0, 1), 0) << "radius " << c.radius << ": pixel " << x << " beyond reach";
            EXPECT_EQ(w.get(x, 0, 1), w.get(30 - x, 0, 1)) << "radius " << c.radius << ": symmetry at " << x;
        }
        if (c.reach == 3) {
            if (smallest.empty()) smallest = w.bytes;
            EXPECT_EQ(w.bytes, smallest) << "radius " << c.radius << " blurs unlike radius " << cases[0].radius;
        }
    }
}

TEST(FastBlur8, RadiusActsLikeGaussianSigma) {
    // A Gaussian's step response rises from 10% to 90% over 2.563 sigma.
    for (double radius : {4.0, 10.0, 25.0}) {
        TestWorld w(300, 2, Depth::k8);
        w.fill(255, 0, 0, 0);
        for (int y = 0; y < 2; ++y)
            for (int x = 150; x < 300; ++x) w.set(x, y, 1, 255);
        vbhost::FastBlur8(w.world, radius);
        int x10 = -1, x90 = -1;
        for (int x = 0; x < 300; ++x) {
            if (x10 < 0 && w.get(x, 1, 1) >= 25.5) x10 = x;
            if (x90 < 0 && w.get(x, 1, 1) >= 229.5) x90 = x;
        }
        EXPECT_NEAR(x90 - x10, 2.563 * radius, 0.2 * 2.563 * radius + 1) << "radius " << radius;
        EXPECT_NEAR((x10 + x90) / 2.0, 150, 1.5) << "edge stays put at radius " << radius;
    }
}

TEST(FastBlur8, HugeRadiusOnTinyWorldStaysInRange) {
    for (double radius : {100.0, 5000.0}) {
        TestWorld w(3, 2, Depth::k8, 8);
        FillRandom(w, 9);
        double lo[4] = {255, 255, 255, 255}, hi[4] = {0, 0, 0, 0};
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                for (int c = 0; c < 4; ++c) {
                    lo[c] = std::min(lo[c], w.get(x, y, c));
                    hi[c] = std::max(hi[c], w.get(x, y, c));
                }
        vbhost::FastBlur8(w.world, radius);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                for (int c = 0; c < 4; ++c) {
                    EXPECT_GE(w.get(x, y, c), lo[c]) << "radius " << radius;
                    EXPECT_LE(w.get(x, y, c), hi[c]) << "radius " << radius;
                }
        EXPECT_TRUE(w.padding_intact()) << "radius " << radius;
    }
    TestWorld line(1, 1, Depth::k8);
    line.fill(1, 2, 3, 4);
    vbhost::FastBlur8(line.world, 100.0);
    EXPECT_EQ(line.get(0, 0, 3), 4);
}

// ---------------------------------------------------------------------------------------------------------------
// TransformWorld

PF_FloatMatrix Scale(double sx, double sy, double tx = 0, double ty = 0) {
    PF_FloatMatrix m{};
    m.mat[0][0] = sx;
    m.mat[1][1] = sy;
    m.mat[2][0] = tx;
    m.mat[2][1] = ty;
    m.mat[2][2] = 1.0;
    return m;
}

TEST(TransformWorld, HalvingKeepsConstantsAndAveragesCheckerboardAtHighQuality) {
    for (Depth d : {Depth::k8, Depth::k16, Depth::k32}) {
        const double top = RangeMax(d);
        TestWorld flat(200, 100, d), board(200, 100, d);
        flat.fill(top * 0.8, top * 0.2, top * 0.6, top);
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 200; ++x) {
                const double v = (x + y) % 2 ? top : 0;
                board.set(x, y, 0, top);
                for (int c = 1; c < 4; ++c) board.set(x, y, c, v);
            }
        const PF_FloatMatrix half = Scale(0.5, 0.5);
        for (PF_Quality q : {PF_Quality_HI, PF_Quality_LO}) {
            const std::string label = std::string(Name(d)) + "-bit, quality " + (q == PF_Quality_HI ? "HI" : "LO");
            TestWorld out(100, 50, d, 16), grey(100, 50, d, 16);
            ASSERT_EQ(vbhost::TransformWorld(flat.world, d, half, true, nullptr, out.world, d, q), PF_Err_NONE);
            ASSERT_EQ(vbhost::TransformWorld(board.world, d, half, true, nullptr, grey.world, d, q), PF_Err_NONE);
            for (int y = 0; y < 50; ++y)
                for (int x = 0; x < 100; ++x) {
                    for (int c = 0; c < 4; ++c)
                        ASSERT_EQ(out.get(x, y, c), flat.get(0, 0, c)) << label << " at " << x << "," << y;
                    ASSERT_EQ(grey.get(x, y, 0), top) << label;
                    const double v = grey.get(x, y, 1);
                    if (q == PF_Quality_HI)
                        ASSERT_NEAR(v, top / 2, d == Depth::k32 ? 1e-6 : 0.5) << label << " at " << x << "," << y;
                    else
                        ASSERT_TRUE(v == 0 || v == top) << label << ": nearest picks one square, got " << v;
                }
            EXPECT_TRUE(out.padding_intact()) << label;
        }
    }
}

TEST(TransformWorld, IdentityCopiesExactlyInBothDirections) {
    PF_FloatMatrix doubled = Scale(2, 2);
    doubled.mat[2][2] = 2.0;  // the same map in homogeneous coordinates
    for (const PF_FloatMatrix &id : {Scale(1, 1), doubled}) {
        for (Depth d : {Depth::k8, Depth::k16, Depth::k32})
            for (bool src2dst : {true, false}) {
                TestWorld src(9, 7, d, 4), dst(9, 7, d, 24);
                FillRandom(src, 21);
                ASSERT_EQ(vbhost::TransformWorld(src.world, d, id, src2dst, nullptr, dst.world, d, PF_Quality_HI),
                          PF_Err_NONE);
                for (int y = 0; y < 7; ++y)
                    for (int x = 0; x < 9; ++x)
                        for (int c = 0; c < 4; ++c)
                            ASSERT_EQ(dst.get(x, y, c), src.get(x, y, c))
                                << Name(d) << "-bit src2dst " << src2dst << " w " << id.mat[2][2] << " at " << x << ","
                                << y << " channel " << c;
                EXPECT_TRUE(dst.padding_intact());
            }
    }
}

TEST(TransformWorld, IdentityAcrossDepthsConvertsLikeCopy) {
    const PF_FloatMatrix id = Scale(1, 1);
    for (Depth sd : {Depth::k8, Depth::k16, Depth::k32})
        for (Depth dd : {Depth::k8, Depth::k16, Depth::k32}) {
            TestWorld src(5, 3, sd), viaCopy(5, 3, dd), viaTransform(5, 3, dd);
            FillRandom(src, 4);
            ASSERT_EQ(vbhost::CopyPixels(src.world, sd, nullptr, viaCopy.world, dd, nullptr), PF_Err_NONE);
            ASSERT_EQ(vbhost::TransformWorld(src.world, sd, id, true, nullptr, viaTransform.world, dd, PF_Quality_HI),
                      PF_Err_NONE);
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x)
                    for (int c = 0; c < 4; ++c)
                        ASSERT_EQ(viaTransform.get(x, y, c), viaCopy.get(x, y, c))
                            << Name(sd) << "->" << Name(dd) << " at " << x << "," << y;
        }
}

TEST(TransformWorld, FilteringGeometry) {
    // Doubling a two-pixel row interpolates between pixel centres, edges held.
    {
        TestWorld src(2, 1, Depth::k8), dst(4, 1, Depth::k8);
        src.fill(255, 0, 0, 0);
        src.set(1, 0, 1, 255);
        ASSERT_EQ(vbhost::TransformWorld(src.world, Depth::k8, Scale(2, 1), true, nullptr, dst.world, Depth::k8,
                                         PF_Quality_HI),
                  PF_Err_NONE);
        const double expected[4] = {0, 64, 191, 255};
        for (int x = 0; x < 4; ++x) EXPECT_EQ(dst.get(x, 0, 1), expected[x]) << "doubling at " << x;
    }
    // Quartering averages each 4x4 block.
    {
        TestWorld src(8, 8, Depth::k8), dst(2, 2, Depth::k8);
        FillRandom(src, 8);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) src.set(x, y, 0, 255);
        ASSERT_EQ(vbhost::TransformWorld(src.world, Depth::k8, Scale(0.25, 0.25), true, nullptr, dst.world,
                                         Depth::k8, PF_Quality_HI),
                  PF_Err_NONE);
        for (int by = 0; by < 2; ++by)
            for (int bx = 0; bx < 2; ++bx) {
                double sum = 0;
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x) sum += src.get(bx * 4 + x, by * 4 + y, 2);
                EXPECT_EQ(dst.get(bx, by, 2), std::floor(sum / 16 + 0.5)) << "block " << bx << "," << by;
            }
    }
    // Straight alpha: a transparent neighbour lowers alpha but lends no colour.
    {
        TestWorld src(2, 1, Depth::k8), dst(1, 1, Depth::k8);
        src.fill(0, 0, 0, 0);
        for (int c = 0; c < 4; ++c) src.set(0, 0, c, 255);
        ASSERT_EQ(vbhost::TransformWorld(src.world, Depth::k8, Scale(0.5, 1), true, nullptr, dst.world, Depth::k8,
                                         PF_Quality_HI),
                  PF_Err_NONE);
        EXPECT_EQ(dst.get(0, 0, 0), 128);
        EXPECT_EQ(dst.get(0, 0, 1), 255);
    }
}

TEST(TransformWorld, OutsideSourceIsTransparentAndOutsideRectUntouched) {
    TestWorld src(6, 4, Depth::k8), dst(10, 6, Depth::k8);
    src.fill(255, 10, 20, 30);
    dst.fill(7, 7, 7, 7);
    // Source shifted right by 3 and down by 1; only columns 2..8 and rows 0..4 are drawn.
    const PF_Rect rect{2, 0, 9, 5};
    ASSERT_EQ(vbhost::TransformWorld(src.world, Depth::k8, Scale(1, 1, 3, 1), true, &rect, dst.world, Depth::k8,
                                     PF_Quality_HI),
              PF_Err_NONE);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool in_rect = x >= 2 && x < 9 && y < 5;
            const bool on_source = x >= 3 && y >= 1;  // source reaches x 3..8, y 1..4 within the rect
            const double expected = !in_rect ? 7 : on_source ? 20 : 0;
            EXPECT_EQ(dst.get(x, y, 2), expected) << "at " << x << "," << y;
            if (in_rect && !on_source) {
                EXPECT_EQ(dst.get(x, y, 0), 0) << "alpha at " << x << "," << y;
            }
        }
    EXPECT_TRUE(dst.padding_intact());
}

TEST(TransformWorld, RejectsBadArguments) {
    TestWorld src(4, 4, Depth::k8), dst(4, 4, Depth::k8);
    PF_FloatMatrix singular = Scale(1, 0);
    PF_FloatMatrix nan = Scale(1, 1);
    nan.mat[0][1] = std::numeric_limits<double>::quiet_NaN();
    PF_EffectWorld null_data = src.world;
    null_data.data = nullptr;
    PF_EffectWorld negative = src.world;
    negative.height = -1;
    struct Case { const char *name; const PF_EffectWorld *src; PF_FloatMatrix m; PF_EffectWorld *dst; } cases[] = {
        {"singular matrix", &src.world, singular, &dst.world},
        {"matrix with NaN", &src.world, nan, &dst.world},
        {"null source pixels", &null_data, Scale(1, 1), &dst.world},
        {"null destination pixels", &src.world, Scale(1, 1), &null_data},
        {"negative height", &negative, Scale(1, 1), &dst.world},
    };
    for (const auto &c : cases) {
        const auto before = dst.bytes;
        EXPECT_EQ(vbhost::TransformWorld(*c.src, Depth::k8, c.m, true, nullptr, *c.dst, Depth::k8, PF_Quality_HI),
                  PF_Err_BAD_CALLBACK_PARAM)
            << c.name;
        EXPECT_EQ(dst.bytes, before) << c.name;
    }
    // A destination with no rows (a texture resized below one pixel high) is simply left empty.
    TestWorld none(5, 0, Depth::k8);
    EXPECT_EQ(vbhost::TransformWorld(src.world, Depth::k8, Scale(0.1, 0.1), true, nullptr, none.world, Depth::k8,
                                     PF_Quality_HI),
              PF_Err_NONE);
}

}  // namespace
