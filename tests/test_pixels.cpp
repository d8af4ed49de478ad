// Pixel accessors' bounds and the channel narrowing and widening rules.
#include "render/pixels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
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

}  // namespace
