// The host-facing adapter of the stereogram generator: worlds, conversions and row arrays around the row synthesis.
#pragma once

#include "api/effect_api.h"
#include "render/render_info.h"

// Writes the stereogram of info's depth map into output at the output's bit depth. Reports no error: on a
// failed set-up step it writes nothing and releases what it made.
void RenderStereogram(PF_InData *in_data, PF_OutData *out_data, PF_EffectWorld *output, const RenderInfo *info);
