// The two render commands: the smart pre-render fills the frame's RenderInfo, the smart render draws it.
#pragma once

#include "api/effect_api.h"

PF_Err SmartPreRender(PF_InData *in_data, PF_OutData *out_data, PF_PreRenderExtra *extra);
PF_Err SmartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra);

// Grows dst to cover src (src unchanged); an empty dst becomes src.
void UnionLRect(const PF_LRect *src, PF_LRect *dst);
bool IsEmptyRect(const PF_LRect *rect);

// The Repetition Period slider value at the render's resolution: held to the slider's valid range, scaled by
// the horizontal downsample factor, truncated to a whole number and raised to at least 10.
double ScalePeriodToRender(double period, PF_RationalScale downsample_x);
// The Oversampling value held to its valid range 1 to 10.
A_long ClampOversampling(A_long oversampling);
