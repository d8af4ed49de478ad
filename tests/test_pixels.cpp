// Pixel accessors' bounds and the channel narrowing and widening rules.
#include "render/pixels.h"

#include "host/host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

// A world over plain memory with spare bytes at the end of each row.
struct PaddedWorld {
    std::vector<unsigned char> bytes;
    PF_EffectWorld world{};
    PaddedWorld(int w, int h, int pixel_size, int padding = 12) {
        world.width = w;
        world.height = h;
        world.rowbytes = w * pixel_size + padding;
        bytes.assign(std::size_t(world.rowbytes) * h, 0xEE);
        world.data = bytes.data();
    }
};

TEST(PixelAccess, GettersGiveNullOutsideAndAddressesInside) {
    PaddedWorld w(5, 3, 4);
    struct Case { int x, y; bool inside; } cases[] = {
        {0, 0, true}, {4, 2, true}, {5, 0, false}, {0, 3, false}, {-1, 0, false}, {0, -1, false}, {4, 0, true},
    };
    for (const auto &c : cases) {
        PF_Pixel8 *p = GetPixel8(&w.world, c.x, c.y);
        EXPECT_EQ(p != nullptr, c.inside) << "at " << c.x << "," << c.y;
        if (p) {
            EXPECT_EQ(reinterpret_cast<unsigned char *>(p), w.bytes.data() + c.y * w.world.rowbytes + c.x * 4);
        }
    }
}

TEST(PixelAccess, SettersOutsideLeaveWorldUnchanged) {
    PaddedWorld w(4, 2, 8);
    const auto before = w.bytes;
    const PF_Pixel16 p{1, 2, 3, 4};
    for (auto [x, y] : {std::pair{4, 0}, {0, 2}, {-1, 0}, {0, -1}}) SetPixel16(&w.world, x, y, p);
    EXPECT_EQ(w.bytes, before);
    SetPixel16(&w.world, 3, 1, p);
    EXPECT_EQ(std::memcmp(GetPixel16(&w.world, 3, 1), &p, sizeof p), 0);
}

TEST(PixelAccess, NegativeStrideWalksBottomUpWorld) {
    PaddedWorld w(2, 3, 4);
    PF_EffectWorld flipped = w.world;
    flipped.data = w.bytes.data() + 2 * w.world.rowbytes;
    flipped.rowbytes = -w.world.rowbytes;
    EXPECT_EQ(reinterpret_cast<unsigned char *>(GetPixel8(&flipped, 1, 2)), w.bytes.data() + 4);
}

TEST(PixelLuminance, TruncatesMeanOfColoursIgnoringAlpha) {
    EXPECT_EQ(PixelLuminance(PF_Pixel8{0, 255, 255, 254}), 254);
    EXPECT_EQ(PixelLuminance(PF_Pixel8{255, 1, 1, 0}), 0);
    EXPECT_EQ(PixelLuminance(PF_Pixel8{0, 255, 255, 255}), 255);
}

TEST(Narrowing, SixteenBitTableWithClamping) {
    struct Case { unsigned v; unsigned expected; } cases[] = {
        {32768, 255}, {32767, 254}, {16384, 127}, {129, 1}, {128, 0}, {0, 0},
        {32896, 255}, {32897, 255}, {65535, 255},  // above the nominal range saturates instead of wrapping
    };
    for (const auto &c : cases) EXPECT_EQ(Narrow16To8(A_u_short(c.v)), c.expected) << "16-bit " << c.v;
}

TEST(Narrowing, FloatTableWithClamping) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case { float v; unsigned expected; } cases[] = {
        {1.0f, 255}, {0.5f, 127}, {0.0f, 0}, {1.5f, 255}, {-0.1f, 0}, {1e30f, 255}, {-1e30f, 0},
        {inf, 255}, {-inf, 0}, {std::nanf(""), 0},
    };
    for (const auto &c : cases) EXPECT_EQ(NarrowFloatTo8(c.v), c.expected) << "float " << c.v;
}

TEST(Widening, TableOfBothRules) {
    struct Case { unsigned v; unsigned as16; float as32; } cases[] = {
        {255, 32768, 1.0f}, {128, 16448, 128.0f / 255.0f}, {1, 128, 1.0f / 255.0f}, {0, 0, 0.0f},
    };
    for (const auto &c : cases) {
        const PF_Pixel8 p{A_u_char(c.v), A_u_char(c.v), A_u_char(c.v), A_u_char(c.v)};
        const PF_Pixel16 p16 = ConvertPixel8ToPixel16(p);
        const PF_PixelFloat p32 = ConvertPixel8ToPixel32(p);
        EXPECT_EQ(p16.alpha, c.as16) << c.v;
        EXPECT_EQ(p16.blue, c.as16) << c.v;
        EXPECT_EQ(p32.red, c.as32) << c.v;
    }
}

TEST(Widening, EffectRoundTripsFloatExactlyAndSixteenBitOneLower) {
    for (int v = 0; v < 256; ++v) {
        const PF_Pixel8 p{A_u_char(v), A_u_char(v), A_u_char(v), A_u_char(v)};
        EXPECT_EQ(NarrowFloatTo8(ConvertPixel8ToPixel32(p).green), v);
        const int back16 = Narrow16To8(ConvertPixel8ToPixel16(p).green);
        EXPECT_EQ(back16, (v == 0 || v == 255) ? v : v - 1) << v;
    }
}

// ---- whole-world conversions, with the stand-in host making the 8-bit worlds ----

// A deep source over the test's own memory, with or without spare bytes at the end of each row.
template <typename Pixel>
struct DeepSource {
    std::vector<unsigned char> bytes;
    PF_EffectWorld world{};
    DeepSource(int w, int h, int padding, const std::function<Pixel(int, int)> &pixel) {
        world.width = w;
        world.height = h;
        world.rowbytes = w * int(sizeof(Pixel)) + padding;
        bytes.assign(std::size_t(world.rowbytes) * h, 0x5A);
        world.data = bytes.data();
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const Pixel p = pixel(x, y);
                std::memcpy(bytes.data() + y * world.rowbytes + x * sizeof(Pixel), &p, sizeof p);
            }
    }
};

std::string Str8(const PF_Pixel8 &p) {
    return std::to_string(p.alpha) + "," + std::to_string(p.red) + "," + std::to_string(p.green) + "," +
           std::to_string(p.blue);
}

TEST(WorldConversion, SixteenBitWorldsWhateverTheirStride) {
    struct Case {
        const char *name;
        PF_Pixel16 in;
        PF_Pixel8 out;
    } cases[] = {
        {"full scale, alpha too", {32768, 32768, 32768, 32768}, {255, 255, 255, 255}},
        {"one below full scale", {32767, 32767, 32767, 32767}, {254, 254, 254, 254}},
        {"mixed", {16384, 129, 128, 0}, {127, 1, 0, 0}},
        {"above the nominal range saturates", {32896, 32897, 65535, 40000}, {255, 255, 255, 255}},
    };
    for (const auto &c : cases) {
        for (int padding : {0, 24}) {
            vbhost::Host host;
            DeepSource<PF_Pixel16> src(5, 3, padding, [&](int, int) { return c.in; });
            const auto before = src.bytes;
            PF_EffectWorld dst{};
            ASSERT_EQ(ConvertWorld16ToWorld8(&host.in_data(), &src.world, &dst), PF_Err_NONE) << c.name;
            ASSERT_NE(dst.data, nullptr) << c.name;
            EXPECT_EQ(dst.width, 5) << c.name;
            EXPECT_EQ(dst.height, 3) << c.name;
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x) {
                    const PF_Pixel8 got = *GetPixel8(&dst, x, y);
                    EXPECT_EQ(std::memcmp(&got, &c.out, 4), 0)
                        << c.name << ", padding " << padding << " at " << x << "," << y << ": " << Str8(got);
                }
            EXPECT_EQ(src.bytes, before) << c.name << ": the source is only read";
            PF_InData *in_data = &host.in_data();
            EXPECT_EQ(PF_DISPOSE_WORLD(&dst), PF_Err_NONE);
            EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
        }
    }
}

TEST(WorldConversion, FloatWorldsClampOutOfRangeChannels) {
    const float nan = std::nanf("");
    struct Case {
        const char *name;
        PF_PixelFloat in;
        PF_Pixel8 out;
    } cases[] = {
        {"in range", {1.0f, 0.5f, 0.0f, 128.0f / 255.0f}, {255, 127, 0, 128}},
        {"outside the range", {1.0f, 0.5f, 1.5f, -0.1f}, {255, 127, 255, 0}},
        {"NaN and huge", {nan, 1e30f, -1e30f, 1.0f / 255.0f}, {0, 255, 0, 1}},
    };
    for (const auto &c : cases) {
        vbhost::Host host;
        DeepSource<PF_PixelFloat> src(4, 2, 16, [&](int, int) { return c.in; });
        PF_EffectWorld dst{};
        ASSERT_EQ(ConvertWorld32ToWorld8(&host.in_data(), &src.world, &dst), PF_Err_NONE) << c.name;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x) {
                const PF_Pixel8 got = *GetPixel8(&dst, x, y);
                EXPECT_EQ(std::memcmp(&got, &c.out, 4), 0) << c.name << " at " << x << "," << y << ": " << Str8(got);
            }
        PF_InData *in_data = &host.in_data();
        PF_DISPOSE_WORLD(&dst);
    }
}

TEST(WorldConversion, FailedWorldCreationGivesTheHostsErrorAndNoWorld) {
    for (bool deep16 : {true, false}) {
        vbhost::Host host;
        host.AddFault(vbhost::Fault{"new_world", 1, PF_Err_OUT_OF_MEMORY});
        DeepSource<PF_Pixel16> src16(3, 3, 0, [](int, int) { return PF_Pixel16{1, 2, 3, 4}; });
        DeepSource<PF_PixelFloat> src32(3, 3, 0, [](int, int) { return PF_PixelFloat{1, 1, 1, 1}; });
        PF_EffectWorld dst;
        std::memset(&dst, 0x77, sizeof dst);  // whatever the caller's description held before
        const PF_Err err = deep16 ? ConvertWorld16ToWorld8(&host.in_data(), &src16.world, &dst)
                                  : ConvertWorld32ToWorld8(&host.in_data(), &src32.world, &dst);
        EXPECT_EQ(err, PF_Err_OUT_OF_MEMORY) << (deep16 ? "16-bit" : "float");
        EXPECT_EQ(dst.data, nullptr) << (deep16 ? "16-bit" : "float");
        EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
    }
}

TEST(WorldConversion, SixteenBitOutputReadsBackOneLowerExceptAtTheEnds) {
    vbhost::Host host;
    PF_EffectWorld *out16 = host.MakeWorld(3, 1, vbhost::Depth::k16);
    const A_u_char values[3] = {1, 255, 128};
    for (int x = 0; x < 3; ++x) {
        const A_u_char v = values[x];
        SetPixel16(out16, x, 0, ConvertPixel8ToPixel16(PF_Pixel8{v, v, v, v}));
    }
    PF_EffectWorld back{};
    ASSERT_EQ(ConvertWorld16ToWorld8(&host.in_data(), out16, &back), PF_Err_NONE);
    const int expected[3] = {0, 255, 127};
    for (int x = 0; x < 3; ++x) EXPECT_EQ(GetPixel8(&back, x, 0)->green, expected[x]) << "from " << int(values[x]);
    PF_InData *in_data = &host.in_data();
    PF_DISPOSE_WORLD(&back);
    host.FreeWorld(out16);
}

}  // namespace
