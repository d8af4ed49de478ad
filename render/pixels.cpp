// Pixel access through one bounds-checked address function, and the 8-bit <-> deep conversions.
#include "render/pixels.h"

#include "api/crt.h"

void *PixelAddress(const PF_EffectWorld *world, A_long x, A_long y, A_long pixel_size) {
    if (world == nullptr || world->data == nullptr) return nullptr;
    if (x < 0 || y < 0 || x >= world->width || y >= world->height) return nullptr;
    // Signed arithmetic in 64 bits: a negative stride walks a bottom-up world, and large worlds do not wrap.
    const int64_t offset = int64_t(y) * int64_t(world->rowbytes) + int64_t(x) * int64_t(pixel_size);
    return static_cast<char *>(world->data) + offset;
}

PF_Pixel8 *GetPixel8(const PF_EffectWorld *world, A_long x, A_long y) {
    return static_cast<PF_Pixel8 *>(PixelAddress(world, x, y, sizeof(PF_Pixel8)));
}
PF_Pixel16 *GetPixel16(const PF_EffectWorld *world, A_long x, A_long y) {
    return static_cast<PF_Pixel16 *>(PixelAddress(world, x, y, sizeof(PF_Pixel16)));
}
PF_PixelFloat *GetPixel32(const PF_EffectWorld *world, A_long x, A_long y) {
    return static_cast<PF_PixelFloat *>(PixelAddress(world, x, y, sizeof(PF_PixelFloat)));
}

void SetPixel8(PF_EffectWorld *world, A_long x, A_long y, const PF_Pixel8 &pixel) {
    if (void *p = PixelAddress(world, x, y, sizeof(PF_Pixel8))) memcpy(p, &pixel, sizeof pixel);
}
void SetPixel16(PF_EffectWorld *world, A_long x, A_long y, const PF_Pixel16 &pixel) {
    if (void *p = PixelAddress(world, x, y, sizeof(PF_Pixel16))) memcpy(p, &pixel, sizeof pixel);
}
void SetPixel32(PF_EffectWorld *world, A_long x, A_long y, const PF_PixelFloat &pixel) {
    if (void *p = PixelAddress(world, x, y, sizeof(PF_PixelFloat))) memcpy(p, &pixel, sizeof pixel);
}

A_long PixelLuminance(const PF_Pixel8 &pixel) {
    return static_cast<A_long>((double(pixel.red) + double(pixel.green) + double(pixel.blue)) / 3.0);
}

// Inside the nominal range the value is truncated exactly as the host's rule has it; outside it saturates
// instead of wrapping, so an over-bright depth pixel stays white rather than turning grey.
namespace {

// trunc(255 * v / 32768) in double is exact integer arithmetic: 255 * v needs no rounding and the division by
// a power of two only moves the binary point, so the truncated quotient is (255 * v) >> 15, which is the high
// half of v * 510: a 16-bit multiply, so whole rows of it compile to vector code.
inline A_u_char narrow16(A_u_short v) {
    const A_u_short n = static_cast<A_u_short>((uint32_t(v) * 510u) >> 16);
    return static_cast<A_u_char>(n < 255 ? n : 255);
}

// 255 * v formed in single precision, as the rule has it, and held to 0..255 (NaN to 0) by selects rather
// than branches; rows take the same steps sixteen channels at a time where SSE2 is at hand (narrowRow below).
inline float clampedProduct(float v) {
    float product = 255.0f * v;
    product = product >= 0.0f ? product : 0.0f;  // negative or NaN
    return product < 255.0f ? product : 255.0f;
}

inline A_u_char narrowFloat(float v) { return static_cast<A_u_char>(static_cast<A_long>(clampedProduct(v))); }

}  // namespace

A_u_char Narrow16To8(A_u_short v) { return narrow16(v); }

A_u_char NarrowFloatTo8(float v) { return narrowFloat(v); }

PF_Pixel16 ConvertPixel8ToPixel16(const PF_Pixel8 &p) {
    auto widen = [](A_u_char v) { return static_cast<A_u_short>(static_cast<A_long>(32768.0 * double(v) / 255.0)); };
    return PF_Pixel16{widen(p.alpha), widen(p.red), widen(p.green), widen(p.blue)};
}

PF_PixelFloat ConvertPixel8ToPixel32(const PF_Pixel8 &p) {
    auto widen = [](A_u_char v) { return static_cast<float>(v) / 255.0f; };
    return PF_PixelFloat{widen(p.alpha), widen(p.red), widen(p.green), widen(p.blue)};
}

// trunc(32768 * v / 255) is 128 * v + floor(128 * v / 255), and for x = 128 * v (at most 32640)
// floor(x / 255) is (x + 1 + (x >> 8)) >> 8: every step fits 16 bits, so rows of it compile to vector code.
void WidenRow8To16(const PF_Pixel8 *in, PF_Pixel16 *out, A_long width) {
    const A_u_char *bytes = reinterpret_cast<const A_u_char *>(in);
    A_u_short *channels = reinterpret_cast<A_u_short *>(out);
    const A_long total = 4 * width;
    for (A_long i = 0; i < total; ++i) {
        const uint16_t x = static_cast<uint16_t>(bytes[i] << 7);
        channels[i] = static_cast<A_u_short>(x + ((x + 1 + (x >> 8)) >> 8));
    }
}

// v / 255 without a division: 1 / 255 split into kHigh, 1/255 cut to 16 significant bits, and kLow, the float
// nearest the rest. v * kHigh is exact (8 + 16 bits), so the sum carries an error of about 2^-39 of v / 255,
// while v / 255, a fraction with denominator 255, lies at least about 2^-32 of itself away from any point
// halfway between two floats: the sum rounds to the correctly rounded quotient, the float the rule divides to.
void WidenRow8To32(const PF_Pixel8 *in, PF_PixelFloat *out, A_long width) {
    constexpr float kHigh = 0x1.01p-8f;
    constexpr float kLow = 0x1.010102p-24f;
    const A_u_char *bytes = reinterpret_cast<const A_u_char *>(in);
    float *channels = reinterpret_cast<float *>(out);
    const A_long total = 4 * width;
    for (A_long i = 0; i < total; ++i) {
        const float v = static_cast<float>(bytes[i]);
        channels[i] = v * kHigh + v * kLow;
    }
}

namespace {

// Rows are narrowed as flat runs of channels, alpha, red, green, blue repeating in both worlds.
void narrowRow(const PF_Pixel16 *in, PF_Pixel8 *out, A_long width) {
    const A_u_short *channels = reinterpret_cast<const A_u_short *>(in);
    A_u_char *bytes = reinterpret_cast<A_u_char *>(out);
    const A_long total = 4 * width;
    for (A_long i = 0; i < total; ++i) bytes[i] = narrow16(channels[i]);
}

#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
// Sixteen channels at a time in SSE2, through the compiler's builtins (the intrinsic headers pull in the C
// library). Each step is the scalar rule's own: the same single-precision product; maxps(p, 0) gives 0 for
// negatives and NaN as the select does (it returns its second operand when either is NaN); minps(p, 255)
// caps; cvttps2dq truncates. The packs then saturate values already within 0..255, so they only narrow.
typedef float FloatQuad __attribute__((vector_size(16)));
typedef int IntQuad __attribute__((vector_size(16)));
typedef short ShortOctet __attribute__((vector_size(16)));
typedef char ByteSixteen __attribute__((vector_size(16)));

inline IntQuad narrowQuad(const float *p) {
    const FloatQuad scale = {255.0f, 255.0f, 255.0f, 255.0f};
    const FloatQuad zero = {0.0f, 0.0f, 0.0f, 0.0f};
    FloatQuad v;
    memcpy(&v, p, sizeof v);
    v = v * scale;
    v = __builtin_ia32_maxps(v, zero);
    v = __builtin_ia32_minps(v, scale);
    return __builtin_ia32_cvttps2dq(v);
}

void narrowRow(const PF_PixelFloat *in, PF_Pixel8 *out, A_long width) {
    const float *channels = reinterpret_cast<const float *>(in);
    A_u_char *bytes = reinterpret_cast<A_u_char *>(out);
    const A_long total = 4 * width;
    A_long i = 0;
    for (; i + 16 <= total; i += 16) {
        const ShortOctet low = __builtin_ia32_packssdw128(narrowQuad(channels + i), narrowQuad(channels + i + 4));
        const ShortOctet high = __builtin_ia32_packssdw128(narrowQuad(channels + i + 8), narrowQuad(channels + i + 12));
        const ByteSixteen packed = __builtin_ia32_packuswb128(low, high);
        memcpy(bytes + i, &packed, sizeof packed);
    }
    for (; i < total; ++i) bytes[i] = narrowFloat(channels[i]);
}
#else
void narrowRow(const PF_PixelFloat *in, PF_Pixel8 *out, A_long width) {
    const float *channels = reinterpret_cast<const float *>(in);
    A_u_char *bytes = reinterpret_cast<A_u_char *>(out);
    const A_long total = 4 * width;
    for (A_long i = 0; i < total; ++i) bytes[i] = narrowFloat(channels[i]);
}
#endif

template <typename Pixel>
PF_Err convertTo8(PF_InData *in_data, const PF_EffectWorld *src, PF_EffectWorld *dst8) {
    memset(dst8, 0, sizeof *dst8);
    const PF_Err err = PF_NEW_WORLD(src->width, src->height, PF_NewWorldFlag_CLEAR_PIXELS, dst8);
    if (err != PF_Err_NONE) {
        dst8->data = nullptr;
        return err;
    }
    for (A_long y = 0; y < dst8->height; ++y) {
        const Pixel *in = static_cast<const Pixel *>(PixelAddress(src, 0, y, sizeof(Pixel)));
        PF_Pixel8 *out = GetPixel8(dst8, 0, y);
        if (in == nullptr || out == nullptr) continue;  // a source smaller than it claims: leave the row clear
        const A_long width = dst8->width < src->width ? dst8->width : src->width;
        narrowRow(in, out, width);
    }
    return PF_Err_NONE;
}

}  // namespace

void NarrowRow16To8(const PF_Pixel16 *in, PF_Pixel8 *out, A_long width) { narrowRow(in, out, width); }
void NarrowRow32To8(const PF_PixelFloat *in, PF_Pixel8 *out, A_long width) { narrowRow(in, out, width); }

PF_Err ConvertWorld16ToWorld8(PF_InData *in_data, const PF_EffectWorld *src, PF_EffectWorld *dst8) {
    return convertTo8<PF_Pixel16>(in_data, src, dst8);
}

PF_Err ConvertWorld32ToWorld8(PF_InData *in_data, const PF_EffectWorld *src, PF_EffectWorld *dst8) {
    return convertTo8<PF_PixelFloat>(in_data, src, dst8);
}
