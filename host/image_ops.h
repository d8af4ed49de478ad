// Pixel operations of the stand-in host (copy with depth conversion, fast blur, convolution, transform), as pure
// functions over padded worlds.
#pragma once

#include "api/effect_api.h"
#include "host/host.h"

namespace vbhost {

// Copies src (depth sd) into dst (depth dd) over the whole worlds (or the given rects, same size), converting:
// 8->16 and 8->32 by Widen8, 16->8 and 32->8 rounding to nearest (clamped, NaN->0), 16<->32 (v/32768 and
// round(v*32768) clamped). Same depth is a plain byte copy. Without rects the worlds must have equal sizes.
PF_Err CopyPixels(const PF_EffectWorld &src, Depth sd, const PF_Rect *src_r, PF_EffectWorld &dst, Depth dd,
                  const PF_Rect *dst_r);

// Fast blur of an 8-bit world in place, cost independent of radius (three box passes per axis, at every radius,
// approximating a Gaussian whose sigma is about `radius` pixels; each box is at least 3 wide, so radii below
// sqrt(2) all blur as sigma sqrt(2)), all four channels (straight alpha), edges clamped.
// radius <= 0 or NaN, or a world without pixels: no change.
void FastBlur8(PF_EffectWorld &world, double radius);

// Integer kernel_size x kernel_size convolution (weights row by row) with unity gain: the weighted sum divided by
// the sum of the weights (a zero sum counts as 1), rounded to nearest; each channel clamped to its range (0..255,
// 0..32768, 0..1 float); borders by edge replication; written only inside area intersected with dst's bounds.
// src and dst have the same depth d; when they share pixels the source is read as it was before the call.
PF_Err Convolve(const PF_EffectWorld &src, Depth d, const PF_LRect &area, int kernel_size, const A_long *a,
                const A_long *r, const A_long *g, const A_long *b, PF_EffectWorld &dst);

// Draws src into dst through the 3x3 matrix (row-vector convention: [x y 1] * M; src-to-dst when src2dst,
// otherwise dst-to-src; homogeneous, so a projective matrix works too), only inside dest_rect (whole dst when
// null); pixels whose centre maps outside src become transparent. PF_Quality_HI averages the source footprint
// when shrinking and interpolates bilinearly otherwise, taking colours weighted by their straight alpha;
// PF_Quality_LO takes the nearest pixel.
PF_Err TransformWorld(const PF_EffectWorld &src, Depth sd, const PF_FloatMatrix &m, bool src2dst,
                      const PF_Rect *dest_rect, PF_EffectWorld &dst, Depth dd, PF_Quality quality);

}  // namespace vbhost
