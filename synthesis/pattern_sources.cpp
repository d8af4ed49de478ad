// Random dots, coloured dots with a contrast curve, texture sampling and the working texture's size.
#include "synthesis/pattern_sources.h"

#include "api/crt.h"

double ContrastFactor(double dot_contrast) {
    double c = dot_contrast;
    if (!(c >= 0.0)) c = 0.0;  // negative or NaN
    if (c > 100.0) c = 100.0;
    const double A = 255.0 * c / 100.0;
    return 259.0 * (A + 255.0) / (255.0 * (259.0 - A));
}

uint8_t ClampToByte(double v) {
    if (v < 0.0) return 0;
    if (v > 255.0) return 255;
    if (v != v) return 0;  // NaN passes both tests above
    return static_cast<uint8_t>(static_cast<int32_t>(v));
}

PF_Pixel8 GetRandomPixel(int32_t pattern, double contrast_factor) {
    if (pattern == 2) {
        // Three draws in this order: red, green, blue.
        const int32_t dr = rand() % 255;
        const int32_t dg = rand() % 255;
        const int32_t db = rand() % 255;
        return PF_Pixel8{255, ClampToByte(contrast_factor * double(dr - 128) + 128.0),
                         ClampToByte(contrast_factor * double(dg - 128) + 128.0),
                         ClampToByte(contrast_factor * double(db - 128) + 128.0)};
    }
    const uint8_t v = static_cast<uint8_t>((rand() % 2) * 255);
    return PF_Pixel8{255, v, v, v};
}

RandomDotSource::RandomDotSource(int32_t pattern, double contrast_factor) : colour_(pattern == 2) {
    for (int32_t d = 0; d < 255; ++d) channel_[d] = ClampToByte(contrast_factor * double(d - 128) + 128.0);
}

PF_Pixel8 RandomDotSource::Next() const {
    if (colour_) {
        const uint8_t r = channel_[rand() % 255];
        const uint8_t g = channel_[rand() % 255];
        const uint8_t b = channel_[rand() % 255];
        return PF_Pixel8{255, r, g, b};
    }
    const uint8_t v = (rand() & 1) ? 255 : 0;  // rand() is never negative, so & 1 is mod 2
    return PF_Pixel8{255, v, v, v};
}

TextureGeometry TextureGeometryOf(const StereogramGeometry &g) {
    TextureGeometry tg;
    tg.c0 = g.c0;
    tg.V = g.V > 0 ? g.V : 1;
    tg.N = g.N > 0 ? g.N : 1;
    tg.phase = g.phase;
    tg.dy = g.dy;
    return tg;
}

PF_Pixel8 SampleTexture(const PixelView8 &texture, const TextureGeometry &tg, int32_t x, int32_t y) {
    if (!texture.usable() || tg.V <= 0 || tg.N <= 0) return PF_Pixel8{0, 0, 0, 0};
    const int64_t tx = ((int64_t(tg.phase) + x) % tg.V / tg.N) % texture.width;
    int64_t strips;
    if (x >= tg.c0) {
        strips = (int64_t(x) - tg.c0) / tg.V;
    } else {
        strips = (int64_t(tg.c0) - x) / tg.V + 1;
    }
    const int64_t ty = (strips * tg.dy + y) % texture.height;
    return texture.Row(int32_t(ty))[tx];
}

TextureSampler::TextureSampler(const PixelView8 &texture, const TextureGeometry &tg)
    : texture_(texture), tg_(tg), byV_(uint32_t(tg.V > 0 ? tg.V : 1)), byN_(uint32_t(tg.N > 0 ? tg.N : 1)),
      byWt_(uint32_t(texture.width > 0 ? texture.width : 1)), byHt_(uint32_t(texture.height > 0 ? texture.height : 1)) {}

PF_Pixel8 TextureSampler::Sample(int32_t x, int32_t y) const {
    if (!texture_.usable()) return PF_Pixel8{0, 0, 0, 0};
    const uint32_t column = byN_.Div(byV_.Mod(uint32_t(tg_.phase + x)));
    const uint32_t tx = column < uint32_t(texture_.width) ? column : byWt_.Mod(column);
    const uint32_t strips = x >= tg_.c0 ? byV_.Div(uint32_t(x - tg_.c0)) : byV_.Div(uint32_t(tg_.c0 - x)) + 1;
    const uint32_t ty = byHt_.Mod(strips * uint32_t(tg_.dy) + uint32_t(y));
    return texture_.Row(int32_t(ty))[tx];
}

TextureSize PrepareTextureSize(int32_t texture_transform, int32_t texture_width, int32_t texture_height,
                               double period) {
    TextureSize size;
    if (texture_transform != 2) {  // Cropping, also for unknown choices: the parameter's default
        size.width = texture_width;
        size.height = texture_height;
        return size;
    }
    const double P = SanitizePeriod(period);
    const double height = texture_width > 0 ? double(texture_height) * P / double(texture_width) : 1.0;
    // Clamped before the conversion: a texture flatter than one row over the period still gives one row, and a
    // tall thin texture cannot ask for more rows than any world may have.
    auto side = [](double v) {
        if (!(v >= 1.0)) return int32_t(1);
        if (v > double(PF_MAX_WORLD_DIMENSION)) return int32_t(PF_MAX_WORLD_DIMENSION);
        return static_cast<int32_t>(v);
    };
    size.width = side(P);
    size.height = side(height);
    return size;
}
