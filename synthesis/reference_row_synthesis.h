// A plain, unoptimised row synthesis written straight from the rules, kept only to check the fast one against.
#pragma once

#include <stdint.h>

#include "api/effect_api.h"
#include "synthesis/geometry.h"
#include "synthesis/pattern_sources.h"

// Same contract as SynthesizeRow, but every step is computed the slow obvious way: luminance in double, Z and
// the separation per working pixel, GetRandomPixel or SampleTexture for every fresh value. out must not alias
// rowColors. The texture is used when pattern is 3 and texture is usable.
void ReferenceSynthesizeRow(const StereogramGeometry &g, const PF_Pixel8 *depthRow, int32_t y, int32_t pattern,
                            double contrast_factor, const PixelView8 &texture, int32_t *leftLink,
                            int32_t *rightLink, PF_Pixel8 *rowColors, PF_Pixel8 *out);
