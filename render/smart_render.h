// The two render commands: the smart pre-render fills the frame's RenderInfo, the smart render draws it.
#pragma once

#include "api/effect_api.h"

PF_Err SmartPreRender(PF_InData *in_data, PF_OutData *out_data, PF_PreRenderExtra *extra);
PF_Err SmartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra);

// Grows dst to cover src (src unchanged); an empty dst becomes src.
void UnionLRect(const PF_LRect *src, PF_LRect *dst);
bool IsEmptyRect(const PF_LRect *rect);
