// Pattern sources that give free working pixels their fresh values: random dots, coloured dots, texture.
#pragma once

#include <stdint.h>

#include "api/effect_api.h"
#include "synthesis/fast_divisor.h"
#include "synthesis/geometry.h"

// 8-bit ARGB pixels in rows of any stride: the depth map and the working texture as the synthesis sees them.
struct PixelView8 {
    const uint8_t *base = nullptr;  // row 0
    int64_t rowbytes = 0;
    int32_t width = 0;
    int32_t height = 0;

    bool usable() const { return base != nullptr && width > 0 && height > 0; }
    const PF_Pixel8 *Row(int32_t y) const { return reinterpret_cast<const PF_Pixel8 *>(base + y * rowbytes); }
};

// The contrast percentage is clamped to 0..100 (NaN counts as 0) so that the factor stays finite: at 100 it is
// 129.5, and it grows without bound only as the percentage nears 101.6.
double ContrastFactor(double dot_contrast);
// 0 below 0, 255 above 255, else truncated; NaN gives 0.
uint8_t ClampToByte(double v);

// One fresh random pixel: pattern 2 gives coloured dots (three draws: red, green, blue); every other pattern
// gives black or white dots (one draw). Always opaque.
PF_Pixel8 GetRandomPixel(int32_t pattern, double contrast_factor);

// The same values as GetRandomPixel, drawn in the same order, with the contrast curve tabulated once per render.
class RandomDotSource {
public:
    RandomDotSource(int32_t pattern, double contrast_factor);
    PF_Pixel8 Next() const;

private:
    bool colour_;
    uint8_t channel_[255];  // channel value for each draw mod 255
};

// Where the texture is sampled from: the strips of the working row and how far each strip shifts the texture.
struct TextureGeometry {
    int32_t c0 = 0;
    int32_t V = 1;
    int32_t N = 1;
    int32_t phase = 0;
    int32_t dy = 0;
};
TextureGeometry TextureGeometryOf(const StereogramGeometry &g);

// The texture pixel for the free working pixel at column x of picture row y: strips of V working pixels counted
// from c0 both ways; columns restart at every strip start and advance once per N working pixels; each strip
// further from c0 moves the texture down dy rows, the leftward pass counting the pixel at c0 - k*V with the
// next strip. Wraps at the texture's size; an unusable texture gives transparent black.
PF_Pixel8 SampleTexture(const PixelView8 &texture, const TextureGeometry &tg, int32_t x, int32_t y);

// SampleTexture with the divisions of one render turned into multiplications.
class TextureSampler {
public:
    TextureSampler(const PixelView8 &texture, const TextureGeometry &tg);
    PF_Pixel8 Sample(int32_t x, int32_t y) const;

private:
    PixelView8 texture_;
    TextureGeometry tg_;
    FastDivisor byV_, byN_, byWt_, byHt_;
};

// The size of the working texture. Cropping keeps the texture's size; Resizing makes it trunc(P) wide and
// trunc(h_t * P / w_t) high. Neither side is ever below 1 (a very flat texture still gets one row), nor above
// the host's largest world side.
struct TextureSize {
    int32_t width = 0;
    int32_t height = 0;
};
TextureSize PrepareTextureSize(int32_t texture_transform, int32_t texture_width, int32_t texture_height,
                               double period);
