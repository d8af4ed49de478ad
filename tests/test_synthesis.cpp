// The row synthesis on plain buffers: geometry, ties, colouring, averaging, pattern sources, fast vs reference.
#include "synthesis/fast_divisor.h"
#include "synthesis/geometry.h"
#include "synthesis/pattern_sources.h"
#include "synthesis/reference_row_synthesis.h"
#include "synthesis/row_synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kConvergence = 1;
constexpr int kDivergence = 2;

PF_Pixel8 Grey(int v) { return PF_Pixel8{255, uint8_t(v), uint8_t(v), uint8_t(v)}; }

bool Same(const PF_Pixel8 &a, const PF_Pixel8 &b) {
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}

std::string Str(const PF_Pixel8 &p) {
    std::ostringstream s;
    s << "(" << int(p.alpha) << "," << int(p.red) << "," << int(p.green) << "," << int(p.blue) << ")";
    return s.str();
}

// A fresh value that names the working column it was drawn for, so tests can tell where each colour came from.
PF_Pixel8 Tag(int32_t x) { return PF_Pixel8{1, uint8_t(x & 255), uint8_t((x >> 8) & 255), uint8_t(x >> 16)}; }
int32_t Untag(const PF_Pixel8 &p) { return p.red | (p.green << 8) | (p.blue << 16); }

// Working buffers for one geometry.
struct Rows {
    std::vector<int32_t> left, right;
    std::vector<PF_Pixel8> colors;
    RowArrays arrays;
    explicit Rows(int32_t W) : left(W), right(W), colors(W) {
        arrays.leftLink = left.data();
        arrays.rightLink = right.data();
        arrays.rowColors = colors.data();
    }
};

// ---------------------------------------------------------------- geometry

TEST(Geometry, TableOfKnownSettings) {
    struct Case {
        const char *name;
        int32_t w;
        double period;
        int32_t oversampling, type;
        int32_t U, E, D, Zfar, R, Sfar, N, W, V, c0, phase, dy;  // -1: not checked
    } cases[] = {
        {"divergence 400 wide", 400, 100, 1, kDivergence, 141, 352, 2820, 1269, 564, 109, 1, 400, 109, 146, 72, 8},
        {"convergence 400 wide", 400, 100, 1, kConvergence, 193, 482, 3860, 1737, 772, 149, 1, 400, 149, 126, 23, 12},
        {"divergence 1920 at 4", 1920, 100, 4, kDivergence, 141, 352, 2820, 1269, 564, 109, 4, 7680, 436, 3622, 302, 8},
        {"smallest period", 400, 10, 1, kDivergence, 13, 32, 260, 117, 52, 9, 1, 400, 9, 196, 2, 0},
    };
    for (const auto &c : cases) {
        const StereogramGeometry g = ComputeGeometry(c.w, c.period, c.oversampling, c.type);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(g.U, c.U);
        EXPECT_EQ(g.E, c.E);
        EXPECT_EQ(g.D, c.D);
        EXPECT_EQ(g.Zfar, c.Zfar);
        EXPECT_EQ(g.Znear, 5 * c.U);
        EXPECT_EQ(g.R, c.R);
        EXPECT_EQ(g.Sfar, c.Sfar);
        EXPECT_EQ(g.N, c.N);
        EXPECT_EQ(g.W, c.W);
        EXPECT_EQ(g.V, c.V);
        EXPECT_EQ(g.c0, c.c0);
        EXPECT_EQ(g.phase, c.phase);
        EXPECT_EQ(g.dy, c.dy);
    }
}

TEST(Geometry, DepthAndSeparationOfSamples) {
    struct Case {
        const char *name;
        int32_t w, oversampling, type, lum, Z, sep;
    } cases[] = {
        {"divergence white", 400, 1, kDivergence, 255, 707, 70},
        {"divergence black", 400, 1, kDivergence, 0, 1269, 109},
        {"divergence grey 128", 400, 1, kDivergence, 128, 987, 91},
        {"divergence white at 4", 1920, 4, kDivergence, 255, 707, 282},
    };
    for (const auto &c : cases) {
        const StereogramGeometry g = ComputeGeometry(c.w, 100, c.oversampling, c.type);
        const int32_t Z = DepthOfLuminance(g, c.lum);
        EXPECT_EQ(Z, c.Z) << c.name;
        EXPECT_EQ(SeparationOfDepth(g, Z), c.sep) << c.name;
    }
    // The table folds the Convergence inversion in: lighter means a larger separation there.
    struct TableCase {
        const char *name;
        int32_t type, lum, sep;
    } tableCases[] = {
        {"divergence white", kDivergence, 255, 70}, {"divergence black", kDivergence, 0, 109},
        {"divergence grey", kDivergence, 128, 91},  {"convergence white", kConvergence, 255, 149},
        {"convergence black", kConvergence, 0, 96},
    };
    for (const auto &c : tableCases) {
        SeparationTable t;
        BuildSeparationTable(ComputeGeometry(400, 100, 1, c.type), &t);
        EXPECT_EQ(t.sep[c.lum], c.sep) << c.name;
        EXPECT_EQ(t.back[c.lum], (c.sep + 1) / 2) << c.name;
    }
}

TEST(Geometry, OversamplingIsLoweredForWideMaps) {
    struct Case {
        int32_t w, requested, N, W;
    } cases[] = {
        {8000, 4, 3, 24000}, {10000, 10, 3, 30000}, {30000, 4, 1, 30000}, {30000, 1, 1, 30000},
        {15000, 2, 2, 30000}, {15001, 2, 1, 15001}, {40000, 3, 1, 40000}, {100000, 10, 1, 100000},
    };
    for (const auto &c : cases) {
        const StereogramGeometry g = ComputeGeometry(c.w, 100, c.requested, kDivergence);
        EXPECT_EQ(g.N, c.N) << c.w << " at " << c.requested;
        EXPECT_EQ(g.W, c.W) << c.w << " at " << c.requested;
        EXPECT_TRUE(g.drawable()) << c.w << " at " << c.requested;
    }
}

TEST(Geometry, NarrowPicturesAreNotDrawable) {
    struct Case {
        int32_t w, oversampling, c0;
        bool drawable;
    } cases[] = {
        {107, 1, -1, false}, {107, 4, -4, false}, {108, 1, 0, true},
        {108, 4, -2, false}, {109, 1, 0, true},   {109, 4, 0, true},
    };
    for (const auto &c : cases) {
        const StereogramGeometry g = ComputeGeometry(c.w, 100, c.oversampling, kDivergence);
        EXPECT_EQ(g.c0, c.c0) << c.w << " at " << c.oversampling;
        EXPECT_EQ(g.drawable(), c.drawable) << c.w << " at " << c.oversampling;
    }
    for (int32_t n = 1; n <= 10; ++n) {
        const StereogramGeometry g = ComputeGeometry(1, 10, n, kDivergence);
        EXPECT_EQ(g.V, 9 * n) << "one pixel wide at " << n;
        EXPECT_FALSE(g.drawable()) << "one pixel wide at " << n;
    }
}

TEST(Geometry, BadSettingsAreClampedToValidOnes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char *name;
        double period;
        int32_t oversampling, type;
        double samePeriod;
        int32_t sameOversampling, sameType;
    } cases[] = {
        {"period NaN", nan, 1, kDivergence, 10, 1, kDivergence},
        {"period below 10", 3, 1, kDivergence, 10, 1, kDivergence},
        {"period negative", -100, 1, kDivergence, 10, 1, kDivergence},
        {"period -inf", -inf, 1, kDivergence, 10, 1, kDivergence},
        {"period +inf", inf, 1, kDivergence, MAX_PERIOD, 1, kDivergence},
        {"period huge", 1e12, 1, kConvergence, MAX_PERIOD, 1, kConvergence},
        {"oversampling 0", 100, 0, kDivergence, 100, 1, kDivergence},
        {"oversampling negative", 100, -7, kDivergence, 100, 1, kDivergence},
        {"oversampling INT_MIN", 100, INT_MIN, kDivergence, 100, 1, kDivergence},
        {"oversampling 11", 100, 11, kDivergence, 100, 10, kDivergence},
        {"oversampling INT_MAX", 100, INT_MAX, kDivergence, 100, 10, kDivergence},
        {"type 0", 100, 1, 0, 100, 1, kDivergence},
        {"type 3", 100, 1, 3, 100, 1, kDivergence},
        {"type -1", 100, 1, -1, 100, 1, kDivergence},
    };
    for (const auto &c : cases) {
        const StereogramGeometry g = ComputeGeometry(500, c.period, c.oversampling, c.type);
        const StereogramGeometry e = ComputeGeometry(500, c.samePeriod, c.sameOversampling, c.sameType);
        EXPECT_EQ(g.U, e.U) << c.name;
        EXPECT_EQ(g.N, e.N) << c.name;
        EXPECT_EQ(g.V, e.V) << c.name;
        EXPECT_EQ(g.c0, e.c0) << c.name;
        EXPECT_EQ(g.convergence, e.convergence) << c.name;
        EXPECT_GT(g.V, 0) << c.name;
    }
    // At the largest period every quantity still fits: the far separation is positive and below the distance.
    const StereogramGeometry g = ComputeGeometry(30000, MAX_PERIOD, 1, kConvergence);
    EXPECT_GT(g.Sfar, 0);
    EXPECT_LT(g.Sfar, g.E);
    SeparationTable t;
    BuildSeparationTable(g, &t);
    for (int lum = 0; lum < 256; ++lum) EXPECT_GT(t.sep[lum], 0) << "largest period, luminance " << lum;
}

// ---------------------------------------------------------------- division by multiplication

TEST(FastDivisor, MatchesIntegerDivision) {
    for (uint32_t d = 1; d <= 40; ++d) {
        const FastDivisor div(d);
        for (uint32_t n = 0; n <= 20000; ++n) {
            ASSERT_EQ(div.Div(n), n / d) << n << " / " << d;
            ASSERT_EQ(div.Mod(n), n % d) << n << " % " << d;
        }
    }
    std::mt19937 gen(7);
    std::vector<uint32_t> divisors = {1, 2, 3, 7, 109, 436, 4096, 30000, 65535, 65537, 1u << 30, 2147483647u};
    for (int i = 0; i < 200; ++i) divisors.push_back(1 + gen() % 2147483647u);
    for (uint32_t d : divisors) {
        const FastDivisor div(d);
        std::vector<uint32_t> ns = {0, 1, d - 1, d, d + 1, 2147483646u, 2147483647u};
        for (int i = 0; i < 2000; ++i) ns.push_back(gen() % 2147483648u);
        for (uint32_t n : ns) {
            if (n > 2147483647u) continue;
            ASSERT_EQ(div.Div(n), n / d) << n << " / " << d;
        }
    }
}

// ---------------------------------------------------------------- ties

std::vector<std::pair<int32_t, int32_t>> Pairs(const Rows &rows) {
    std::vector<std::pair<int32_t, int32_t>> pairs;
    for (int32_t x = 0; x < int32_t(rows.right.size()); ++x) {
        if (rows.right[x] != x) pairs.emplace_back(x, rows.right[x]);
    }
    return pairs;
}

// Hand-built geometries with a one-working-pixel-per-sample row, so the expected ties can be worked out on paper.
TEST(Ties, CollisionsFollowTheSeparations) {
    using PairList = std::vector<std::pair<int32_t, int32_t>>;
    struct Case {
        const char *name;
        int32_t W;
        std::vector<int32_t> seps;  // separation of each sample
        PairList expected;
    } cases[] = {
        // Far then near: each narrower new pair replaces the wider pair it collides with.
        {"far then near", 12, {6, 6, 6, 6, 6, 6, 2, 2, 2, 2, 2, 2}, {{0, 6}, {5, 7}, {6, 8}, {7, 9}, {8, 10}, {9, 11}}},
        // Near then far: the existing narrower pairs keep their place and the wide ones are dropped.
        {"near then far", 12, {2, 2, 2, 2, 2, 2, 6, 6, 6, 6, 6, 6}, {{0, 2}, {1, 3}, {2, 4}, {3, 5}, {4, 6}, {5, 11}}},
        // An odd separation puts x - sep / 2.0 at -0.5 for x = 2, which is column 0: (0, 5) is tied there, and
        // the wider (0, 7) that the next samples ask for does not replace it.
        {"odd separation at the left edge", 10, {5, 5, 5, 7, 7, 7, 7, 7, 7, 7}, {{0, 5}, {1, 8}, {2, 9}}},
        {"uniform even", 8, {4, 4, 4, 4, 4, 4, 4, 4}, {{0, 4}, {1, 5}, {2, 6}, {3, 7}}},
    };
    for (const auto &c : cases) {
        StereogramGeometry g;
        g.w = c.W;
        g.N = 1;
        g.W = c.W;
        SeparationTable table{};
        std::vector<PF_Pixel8> depth;
        for (int32_t x = 0; x < c.W; ++x) {
            const int lum = c.seps[x];  // one luminance per separation value keeps the table trivial
            table.sep[lum] = c.seps[x];
            table.back[lum] = c.seps[x] - c.seps[x] / 2;
            depth.push_back(Grey(lum));
        }
        Rows rows(c.W);
        TieRow(g, table, depth.data(), rows.arrays);
        EXPECT_EQ(Pairs(rows), c.expected) << c.name;

        for (int32_t x = 0; x < c.W; ++x) {
            if (rows.left[x] != x) {
                EXPECT_EQ(rows.right[rows.left[x]], x) << c.name << " at " << x;
            }
        }
    }
}

// Depth maps with steps and slopes in both directions, where hidden surfaces force ties to be undone.
std::vector<std::vector<uint8_t>> HiddenSurfaceMaps(int w, int h, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::vector<uint8_t>> maps;
    std::vector<uint8_t> steps(w * h), slopes(w * h), noise(w * h), spikes(w * h);
    for (int y = 0; y < h; ++y) {
        int level = int(gen() % 256);
        for (int x = 0; x < w; ++x) {
            if (gen() % 23 == 0) level = int(gen() % 256);
            steps[y * w + x] = uint8_t(level);
            const int saw = (x * (3 + y)) % 512;
            slopes[y * w + x] = uint8_t(saw < 256 ? saw : 511 - saw);
            noise[y * w + x] = uint8_t(gen() % 256);
            spikes[y * w + x] = (x / 7) % 5 == 0 ? 255 : 0;
        }
    }
    maps.push_back(steps);
    maps.push_back(slopes);
    maps.push_back(noise);
    maps.push_back(spikes);
    return maps;
}

TEST(Ties, MutualAndEveryPairEndsWithOneColour) {
    const int w = 320, h = 4;
    struct Setting {
        double period;
        int32_t oversampling, type;
    } settings[] = {{40, 1, kDivergence}, {40, 3, kConvergence}, {100, 2, kDivergence}, {25, 4, kConvergence}};
    const auto maps = HiddenSurfaceMaps(w, h, 11);
    for (size_t m = 0; m < maps.size(); ++m) {
        for (const auto &s : settings) {
            const StereogramGeometry g = ComputeGeometry(w, s.period, s.oversampling, s.type);
            ASSERT_TRUE(g.drawable());
            SeparationTable table;
            BuildSeparationTable(g, &table);
            Rows rows(g.W);
            for (int y = 0; y < h; ++y) {
                std::vector<PF_Pixel8> depth;
                for (int x = 0; x < w; ++x) depth.push_back(Grey(maps[m][y * w + x]));
                TieRow(g, table, depth.data(), rows.arrays);
                std::ostringstream where;
                where << "map " << m << " period " << s.period << " N " << s.oversampling << " type " << s.type
                      << " row " << y;
                for (int32_t x = 0; x < g.W; ++x) {
                    const int32_t l = rows.left[x], r = rows.right[x];
                    if (l != x) {
                        ASSERT_LT(l, x) << where.str();
                        ASSERT_EQ(rows.right[l], x) << where.str() << " left partner of " << x;
                    }
                    if (r != x) {
                        ASSERT_GT(r, x) << where.str();
                        ASSERT_EQ(rows.left[r], x) << where.str() << " right partner of " << x;
                    }
                }
                ColourRow(g, rows.arrays, [](int32_t x) { return Tag(x); });
                for (int32_t x = 0; x < g.W; ++x) {
                    if (rows.right[x] != x) {
                        ASSERT_TRUE(Same(rows.colors[x], rows.colors[rows.right[x]]))
                            << where.str() << " pair " << x << "-" << rows.right[x];
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------- colouring

TEST(Colouring, CopyThenRepeatThenFreshInBothPasses) {
    // Twelve working pixels, colouring from column 5; tied pairs (1,4), (5,6), (2,9), (8,11).
    StereogramGeometry g;
    g.w = 12;
    g.N = 1;
    g.W = 12;
    g.c0 = 5;
    Rows rows(12);
    for (int32_t x = 0; x < 12; ++x) rows.left[x] = rows.right[x] = x;
    for (auto [l, r] : {std::pair{1, 4}, {5, 6}, {2, 9}, {8, 11}}) {
        rows.right[l] = r;
        rows.left[r] = l;
    }
    std::vector<int32_t> freshOrder;
    ColourRow(g, rows.arrays, [&](int32_t x) {
        freshOrder.push_back(x);
        return Tag(x);
    });
    // 5 fresh; 6 copies 5; 7 repeats the copied 6; 8 draws again; 9's partner lies left of c0, so it is free and
    // fresh; 10 fresh; 11 copies 8. Leftward: 4 fresh; 3 fresh; 2 copies 9; 1 copies 4; 0 repeats the copied 1.
    EXPECT_EQ(freshOrder, (std::vector<int32_t>{5, 8, 9, 10, 4, 3}));
    const int32_t source[12] = {4, 4, 9, 3, 4, 5, 5, 5, 8, 9, 10, 8};
    for (int32_t x = 0; x < 12; ++x) EXPECT_EQ(Untag(rows.colors[x]), source[x]) << "pixel " << x;
}

TEST(Colouring, FlatMapsRepeatWithTheirSeparationAndDrawOnlyOneStrip) {
    struct Case {
        const char *name;
        int32_t w, oversampling, type, lum, sep;
    } cases[] = {
        {"divergence white", 400, 1, kDivergence, 255, 70},    {"divergence black", 400, 1, kDivergence, 0, 109},
        {"divergence grey", 400, 1, kDivergence, 128, 91},     {"convergence white", 400, 1, kConvergence, 255, 149},
        {"convergence black", 400, 1, kConvergence, 0, 96},    {"divergence white at 4", 1920, 4, kDivergence, 255, 282},
    };
    for (const auto &c : cases) {
        const StereogramGeometry g = ComputeGeometry(c.w, 100, c.oversampling, c.type);
        SeparationTable table;
        BuildSeparationTable(g, &table);
        Rows rows(g.W);
        const std::vector<PF_Pixel8> depth(c.w, Grey(c.lum));
        TieRow(g, table, depth.data(), rows.arrays);
        std::vector<int32_t> fresh;
        ColourRow(g, rows.arrays, [&](int32_t x) {
            fresh.push_back(x);
            return Tag(x);
        });
        std::vector<int32_t> expected;
        for (int32_t x = g.c0; x < g.c0 + c.sep; ++x) expected.push_back(x);
        EXPECT_EQ(fresh, expected) << c.name;
        for (int32_t x = 0; x + c.sep < g.W; ++x) {
            ASSERT_TRUE(Same(rows.colors[x], rows.colors[x + c.sep])) << c.name << " at " << x;
        }
        // No shorter repeat: the fresh strip holds distinct values.
        for (int32_t p = 1; p < c.sep; ++p) {
            bool repeats = true;
            for (int32_t x = 0; x + p < g.W && repeats; ++x) repeats = Same(rows.colors[x], rows.colors[x + p]);
            EXPECT_FALSE(repeats) << c.name << " repeats with " << p;
        }
    }
}

// ---------------------------------------------------------------- averaging

TEST(Averaging, TruncatesEachChannelAndWorksInPlace) {
    StereogramGeometry g;
    g.w = 3;
    g.N = 4;
    g.W = 12;
    const std::vector<PF_Pixel8> working = {
        {255, 255, 0, 1}, {255, 255, 0, 1}, {255, 255, 0, 1}, {0, 0, 3, 0},          // 191 191 0 0
        {10, 0, 255, 7},  {10, 0, 255, 7},  {10, 0, 254, 7},  {11, 0, 255, 7},        // 10 0 254 7
        {255, 255, 255, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}, {255, 255, 255, 255},
    };
    const PF_Pixel8 expected[3] = {{191, 191, 0, 0}, {10, 0, 254, 7}, {255, 255, 255, 255}};
    std::vector<PF_Pixel8> out(3);
    AverageRow(g, working.data(), out.data());
    std::vector<PF_Pixel8> inPlace = working;
    AverageRow(g, inPlace.data(), inPlace.data());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(Same(out[i], expected[i])) << "pixel " << i << " got " << Str(out[i]);
        EXPECT_TRUE(Same(inPlace[i], expected[i])) << "in place, pixel " << i << " got " << Str(inPlace[i]);
    }
}

// ---------------------------------------------------------------- pattern sources

TEST(PatternSources, ContrastFactorAndItsClamp) {
    EXPECT_EQ(ContrastFactor(0), 1.0);
    EXPECT_NEAR(ContrastFactor(50), 2.954, 0.001);
    EXPECT_DOUBLE_EQ(ContrastFactor(100), 129.5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double in, same;
    } cases[] = {{-5, 0}, {-inf, 0}, {nan, 0}, {101.6, 100}, {150, 100}, {inf, 100}};
    for (const auto &c : cases) {
        EXPECT_EQ(ContrastFactor(c.in), ContrastFactor(c.same)) << "contrast " << c.in;
        EXPECT_TRUE(std::isfinite(ContrastFactor(c.in))) << "contrast " << c.in;
    }
}

TEST(PatternSources, ClampToByteTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double v;
        int expected;
    } cases[] = {{-1, 0},    {-0.5, 0},  {0, 0},     {0.99, 0}, {127.9, 127}, {254.99, 254},
                 {255, 255}, {255.5, 255}, {1e300, 255}, {-inf, 0}, {inf, 255},   {nan, 0}};
    for (const auto &c : cases) EXPECT_EQ(ClampToByte(c.v), c.expected) << c.v;
}

// Replays the random sequence to learn which draws a pixel used: srand(seed), record, srand(seed) again.
std::vector<int> Draws(unsigned seed, int count) {
    srand(seed);
    std::vector<int> draws(count);
    for (int &d : draws) d = rand();
    return draws;
}

TEST(PatternSources, ColourDotsFollowTheContrastCurveDrawForDraw) {
    struct Case {
        double contrast;
        std::map<int, int> channelOfDraw;  // d = draw mod 255 -> channel value
    } cases[] = {
        {0, {{0, 0}, {64, 64}, {100, 100}, {127, 127}, {128, 128}, {129, 129}, {200, 200}, {254, 254}}},
        {50, {{0, 0}, {64, 0}, {100, 45}, {127, 125}, {128, 128}, {129, 130}, {200, 255}, {254, 255}}},
        {100, {{0, 0}, {64, 0}, {100, 0}, {127, 0}, {128, 128}, {129, 255}, {200, 255}, {254, 255}}},
    };
    const int pixels = 30000;
    for (const auto &c : cases) {
        const double factor = ContrastFactor(c.contrast);
        const std::vector<int> draws = Draws(5, 3 * pixels + 1);
        const RandomDotSource source(2, factor);
        for (int pass = 0; pass < 2; ++pass) {
            srand(5);
            std::set<int> seen;
            for (int i = 0; i < pixels; ++i) {
                const PF_Pixel8 p = pass == 0 ? GetRandomPixel(2, factor) : source.Next();
                ASSERT_EQ(p.alpha, 255);
                const uint8_t channels[3] = {p.red, p.green, p.blue};
                for (int k = 0; k < 3; ++k) {
                    const int d = draws[3 * i + k] % 255;
                    auto it = c.channelOfDraw.find(d);
                    if (it == c.channelOfDraw.end()) continue;
                    seen.insert(d);
                    ASSERT_EQ(channels[k], it->second)
                        << (pass ? "tabulated" : "direct") << " contrast " << c.contrast << " draw " << d;
                }
            }
            EXPECT_EQ(seen.size(), c.channelOfDraw.size()) << "contrast " << c.contrast << ": not every draw hit";
            EXPECT_EQ(rand(), draws[3 * pixels]) << "three draws per pixel, contrast " << c.contrast;
        }
    }
}

TEST(PatternSources, RandomDotsAreOpaqueBlackOrWhite) {
    const std::vector<int> draws = Draws(9, 20001);
    for (int pattern : {1, 0, 7, -3}) {  // 1, and unknown choices, which render as random dots
        for (double contrast : {0.0, 50.0, 100.0}) {
            const RandomDotSource source(pattern, ContrastFactor(contrast));
            for (int pass = 0; pass < 2; ++pass) {
                srand(9);
                int white = 0;
                for (int i = 0; i < 20000; ++i) {
                    const PF_Pixel8 p = pass == 0 ? GetRandomPixel(pattern, ContrastFactor(contrast)) : source.Next();
                    const int v = (draws[i] % 2) * 255;
                    ASSERT_TRUE(Same(p, PF_Pixel8{255, uint8_t(v), uint8_t(v), uint8_t(v)}))
                        << "pattern " << pattern << " contrast " << contrast << " pixel " << i << " got " << Str(p);
                    white += p.red == 255;
                }
                EXPECT_GT(white, 9000) << "pattern " << pattern;
                EXPECT_LT(white, 11000) << "pattern " << pattern;
                EXPECT_EQ(rand(), draws[20000]) << "one draw per pixel, pattern " << pattern;
            }
        }
    }
}

// A texture whose pixel at (tx, ty) says where it is: red = column, green = row, alpha = 200 + (column % 2).
struct CoordTexture {
    int32_t w, h;
    std::vector<PF_Pixel8> pixels;
    PixelView8 view;
    CoordTexture(int32_t width, int32_t height, int32_t padding = 3) : w(width), h(height) {
        const int32_t stride = width + padding;
        pixels.assign(size_t(stride) * height, PF_Pixel8{9, 9, 9, 9});
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                pixels[size_t(y) * stride + x] = PF_Pixel8{uint8_t(200 + x % 2), uint8_t(x), uint8_t(y), 7};
        view.base = reinterpret_cast<const uint8_t *>(pixels.data());
        view.rowbytes = int64_t(stride) * 4;
        view.width = width;
        view.height = height;
    }
};

TEST(Texture, StripsRestartAtStartColumnAndShiftRows) {
    const StereogramGeometry g = ComputeGeometry(400, 100, 1, kDivergence);  // c0 146, V 109, dy 8
    const TextureGeometry tg = TextureGeometryOf(g);
    CoordTexture tex(50, 40);
    const int32_t y = 5;
    struct Case {
        const char *name;
        int32_t x, tx, ty;
    } cases[] = {
        {"start column", 146, 0, 5},
        {"columns wrap at the texture width", 146 + 50, 0, 5},
        {"last column of the first strip", 146 + 108, 108 % 50, 5},
        {"second strip to the right", 146 + 109, 0, 13},
        {"third strip to the right", 146 + 218 + 3, 3, 21},
        {"first pixel left of c0", 145, 108 % 50, 13},
        {"left strip interior", 146 - 108, 1, 13},
        {"pixel at c0 - V counts with the next strip", 146 - 109, 0, 21},
        {"column 0 of the row", 0, (72 % 109) % 50, 21},
    };
    const TextureSampler sampler(tex.view, tg);
    for (const auto &c : cases) {
        const PF_Pixel8 p = SampleTexture(tex.view, tg, c.x, y);
        EXPECT_EQ(p.red, c.tx) << c.name;
        EXPECT_EQ(p.green, c.ty) << c.name;
        EXPECT_EQ(p.alpha, 200 + c.tx % 2) << c.name << ": alpha comes from the texture";
        EXPECT_TRUE(Same(sampler.Sample(c.x, y), p)) << c.name;
    }
    // Across each strip a 50-wide texture repeats columns 0..49, 0..49, 0..8.
    for (int32_t j = 0; j < 109; ++j) {
        EXPECT_EQ(SampleTexture(tex.view, tg, 146 + j, 0).red, j % 50) << "strip column " << j;
    }
}

TEST(Texture, OversampledColumnsAdvanceOncePerOutputPixel) {
    const StereogramGeometry g = ComputeGeometry(1920, 100, 4, kDivergence);  // c0 3622, V 436, phase 302
    const TextureGeometry tg = TextureGeometryOf(g);
    CoordTexture tex(200, 30);
    for (int32_t j = 0; j < 436; ++j) {
        EXPECT_EQ(SampleTexture(tex.view, tg, g.c0 + j, 0).red, j / 4) << "working column " << j;
        EXPECT_EQ(SampleTexture(tex.view, tg, g.c0 - 436 + j, 0).red, j / 4) << "left strip column " << j;
    }
}

TEST(Texture, FastSamplerAgreesEverywhere) {
    struct Setting {
        int32_t w;
        double period;
        int32_t oversampling, type;
    } settings[] = {{400, 100, 1, kDivergence}, {1920, 100, 4, kDivergence}, {300, 10, 10, kConvergence},
                    {640, 37, 3, kConvergence}, {5000, 400, 6, kDivergence}};
    const std::pair<int32_t, int32_t> sizes[] = {{1, 1}, {50, 40}, {3, 1}, {1, 7}, {300, 200}, {109, 109}};
    for (const auto &s : settings) {
        const StereogramGeometry g = ComputeGeometry(s.w, s.period, s.oversampling, s.type);
        const TextureGeometry tg = TextureGeometryOf(g);
        for (auto [tw, th] : sizes) {
            CoordTexture tex(tw, th);
            const TextureSampler sampler(tex.view, tg);
            for (int32_t y : {0, 1, 13, 199, 1079}) {
                for (int32_t x = 0; x < g.W; ++x) {
                    ASSERT_TRUE(Same(sampler.Sample(x, y), SampleTexture(tex.view, tg, x, y)))
                        << "width " << s.w << " texture " << tw << "x" << th << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(Texture, WorkingTextureSizes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char *name;
        int32_t transform, w, h;
        double period;
        int32_t Wt, Ht;
    } cases[] = {
        {"resizing halves", 2, 200, 100, 100, 100, 50},
        {"cropping keeps the size", 1, 200, 100, 100, 200, 100},
        {"resizing a flat texture keeps one row", 2, 1000, 1, 100, 100, 1},
        {"resizing truncates", 2, 300, 7, 100, 100, 2},
        {"resizing a non-whole period", 2, 100, 100, 25.9, 25, 25},
        {"resizing a thin tall texture is capped", 2, 1, 1000, 400, 400, PF_MAX_WORLD_DIMENSION},
        {"resizing with a NaN period works at 10", 2, 20, 20, nan, 10, 10},
        {"resizing a texture of width 0", 2, 0, 5, 100, 100, 1},
        {"unknown choice crops", 0, 64, 48, 100, 64, 48},
        {"another unknown choice crops", 9, 64, 48, 100, 64, 48},
    };
    for (const auto &c : cases) {
        const TextureSize size = PrepareTextureSize(c.transform, c.w, c.h, c.period);
        EXPECT_EQ(size.width, c.Wt) << c.name;
        EXPECT_EQ(size.height, c.Ht) << c.name;
    }
}

TEST(Texture, OneRowTextureIsNeverReadOutside) {
    const StereogramGeometry g = ComputeGeometry(400, 100, 2, kDivergence);
    CoordTexture tex(100, 1, 0);  // no padding: a read past row 0 would leave the buffer
    const TextureSampler sampler(tex.view, TextureGeometryOf(g));
    for (int32_t y : {0, 1, 57}) {
        for (int32_t x = 0; x < g.W; ++x) {
            const PF_Pixel8 p = sampler.Sample(x, y);
            ASSERT_EQ(p.green, 0) << x << "," << y;
            ASSERT_LT(p.red, 100) << x << "," << y;
        }
    }
    PixelView8 empty;
    EXPECT_TRUE(Same(SampleTexture(empty, TextureGeometryOf(g), 3, 3), PF_Pixel8{0, 0, 0, 0}));
}

// ---------------------------------------------------------------- fast against reference

struct DepthMap {
    const char *name;
    int w, h;
    std::function<int(int, int)> lum;
};

TEST(RowSynthesis, FastMatchesReferenceOnVariedMapsAndSeeds) {
    std::mt19937 gen(3);
    std::vector<int> noise(640 * 6);
    for (int &v : noise) v = int(gen() % 256);
    const DepthMap maps[] = {
        {"flat white", 200, 3, [](int, int) { return 255; }},
        {"flat black", 200, 3, [](int, int) { return 0; }},
        {"horizontal ramp", 300, 4, [](int x, int) { return x * 255 / 299; }},
        {"descending ramp", 300, 4, [](int x, int) { return 255 - x * 255 / 299; }},
        {"steps", 640, 4, [](int x, int y) { return ((x / 40 + y) % 4) * 85; }},
        {"sphere-like bump", 320, 6,
         [](int x, int y) { return std::max(0, 255 - ((x - 160) * (x - 160)) / 40 - (y - 3) * (y - 3) * 10); }},
        {"noise", 640, 6, [&](int x, int y) { return noise[y * 640 + x]; }},
        {"coloured depth", 240, 3, [](int x, int y) { return (x * 7 + y * 31) % 256; }},
        {"narrow", 109, 2, [](int x, int) { return x % 2 ? 255 : 0; }},
    };
    struct Setting {
        double period;
        int32_t oversampling, type;
    } settings[] = {{100, 1, kDivergence}, {100, 4, kConvergence}, {10, 10, kDivergence}, {37, 3, kConvergence},
                    {25.9, 2, kDivergence}, {60, 7, kDivergence}};
    struct Pattern {
        int32_t pattern;
        double contrast;
        int tw, th;  // texture size when pattern 3
    } patterns[] = {{1, 50, 0, 0}, {2, 0, 0, 0}, {2, 73, 0, 0}, {3, 0, 50, 40}, {3, 0, 1, 1}, {3, 0, 100, 3},
                    {3, 0, 700, 90}};
    unsigned seed = 1;
    for (const auto &map : maps) {
        // Colour depth pixels unevenly so the luminance is a real mean, not one channel.
        std::vector<PF_Pixel8> depth(size_t(map.w) * map.h);
        for (int y = 0; y < map.h; ++y)
            for (int x = 0; x < map.w; ++x) {
                const int v = map.lum(x, y);
                depth[size_t(y) * map.w + x] = PF_Pixel8{uint8_t(x), uint8_t(v), uint8_t(std::min(255, v + (x % 3))),
                                                         uint8_t(std::max(0, v - (y % 2)))};
            }
        for (const auto &s : settings) {
            const StereogramGeometry g = ComputeGeometry(map.w, s.period, s.oversampling, s.type);
            if (!g.drawable()) continue;
            SeparationTable table;
            BuildSeparationTable(g, &table);
            for (const auto &p : patterns) {
                CoordTexture tex(std::max(p.tw, 1), std::max(p.th, 1));
                const PixelView8 view = p.pattern == 3 ? tex.view : PixelView8{};
                const double factor = ContrastFactor(p.contrast);
                const PatternSource source(g, p.pattern, factor, view);
                ++seed;
                std::ostringstream where;
                where << map.name << ", period " << s.period << " N " << g.N << " type " << s.type << ", pattern "
                      << p.pattern << " contrast " << p.contrast << " texture " << p.tw << "x" << p.th << ", seed "
                      << seed;

                Rows fast(g.W), ref(g.W);
                std::vector<PF_Pixel8> refOut(map.w);
                std::vector<std::vector<PF_Pixel8>> fastRows;
                std::vector<std::vector<int32_t>> fastLinks;
                srand(seed);
                for (int y = 0; y < map.h; ++y) {
                    SynthesizeRow(g, table, &depth[size_t(y) * map.w], y, source, fast.arrays, fast.arrays.rowColors);
                    fastRows.emplace_back(fast.colors.begin(), fast.colors.begin() + map.w);
                    fastLinks.push_back(fast.left);
                    fastLinks.push_back(fast.right);
                }
                const int nextAfterFast = rand();
                srand(seed);
                for (int y = 0; y < map.h; ++y) {
                    ReferenceSynthesizeRow(g, &depth[size_t(y) * map.w], y, p.pattern, factor, view,
                                           ref.left.data(), ref.right.data(), ref.colors.data(), refOut.data());
                    ASSERT_EQ(fastLinks[2 * y], ref.left) << where.str() << " row " << y << ": left links";
                    ASSERT_EQ(fastLinks[2 * y + 1], ref.right) << where.str() << " row " << y << ": right links";
                    for (int x = 0; x < map.w; ++x) {
                        ASSERT_TRUE(Same(fastRows[y][x], refOut[x]))
                            << where.str() << " row " << y << " pixel " << x << ": fast " << Str(fastRows[y][x])
                            << " reference " << Str(refOut[x]);
                    }
                }
                EXPECT_EQ(nextAfterFast, rand()) << where.str() << ": the two drew different numbers of values";
            }
        }
    }
}

TEST(RowSynthesis, RandomDotRowsAreOpaqueBlackOrWhiteAtOneSample) {
    const StereogramGeometry g = ComputeGeometry(300, 50, 1, kDivergence);
    SeparationTable table;
    BuildSeparationTable(g, &table);
    const PatternSource source(g, 1, ContrastFactor(100), PixelView8{});
    Rows rows(g.W);
    std::vector<PF_Pixel8> depth(300);
    for (int x = 0; x < 300; ++x) depth[x] = Grey((x * 13) % 256);
    srand(21);
    for (int y = 0; y < 5; ++y) {
        SynthesizeRow(g, table, depth.data(), y, source, rows.arrays, rows.arrays.rowColors);
        for (int x = 0; x < 300; ++x) {
            const PF_Pixel8 p = rows.colors[x];
            ASSERT_TRUE(Same(p, Grey(0)) || Same(p, Grey(255))) << "row " << y << " pixel " << x << " " << Str(p);
        }
    }
}

}  // namespace
