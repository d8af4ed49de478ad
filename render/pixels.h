// Pixel access with one bounds test, luminance, and the conversions between 8-bit and deep pixels.
#pragma once

#include "api/effect_api.h"

// The one place that turns a position into an address: null outside 0 <= x < width, 0 <= y < height.
// Row strides are signed, so bottom-up worlds work too.
void *PixelAddress(const PF_EffectWorld *world, A_long x, A_long y, A_long pixel_size);

PF_Pixel8 *GetPixel8(const PF_EffectWorld *world, A_long x, A_long y);
PF_Pixel16 *GetPixel16(const PF_EffectWorld *world, A_long x, A_long y);
PF_PixelFloat *GetPixel32(const PF_EffectWorld *world, A_long x, A_long y);
void SetPixel8(PF_EffectWorld *world, A_long x, A_long y, const PF_Pixel8 &pixel);
void SetPixel16(PF_EffectWorld *world, A_long x, A_long y, const PF_Pixel16 &pixel);
void SetPixel32(PF_EffectWorld *world, A_long x, A_long y, const PF_PixelFloat &pixel);

A_long PixelLuminance(const PF_Pixel8 &pixel);

// Channel narrowing rules (clamped: out-of-range values saturate, NaN gives 0).
A_u_char Narrow16To8(A_u_short v);
A_u_char NarrowFloatTo8(float v);

PF_Pixel16 ConvertPixel8ToPixel16(const PF_Pixel8 &pixel);
PF_PixelFloat ConvertPixel8ToPixel32(const PF_Pixel8 &pixel);

// Whole rows widened by the same per-channel rules, without a call per pixel.
void WidenRow8To16(const PF_Pixel8 *in, PF_Pixel16 *out, A_long width);
void WidenRow8To32(const PF_Pixel8 *in, PF_PixelFloat *out, A_long width);

// Whole rows narrowed by Narrow16To8 and NarrowFloatTo8, for callers that convert a row as they reach it.
void NarrowRow16To8(const PF_Pixel16 *in, PF_Pixel8 *out, A_long width);
void NarrowRow32To8(const PF_PixelFloat *in, PF_Pixel8 *out, A_long width);

// Each makes a new cleared 8-bit world of the source's size with PF_NEW_WORLD and fills it. On failure the
// returned description has no pixel address and the host's error is returned.
PF_Err ConvertWorld16ToWorld8(PF_InData *in_data, const PF_EffectWorld *src, PF_EffectWorld *dst8);
PF_Err ConvertWorld32ToWorld8(PF_InData *in_data, const PF_EffectWorld *src, PF_EffectWorld *dst8);
