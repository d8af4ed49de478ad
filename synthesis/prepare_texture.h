// Filling the working texture from the texture layer: a plain copy for Cropping, a uniform scale for Resizing.
#pragma once

#include "api/effect_api.h"

// textureWork must already have the size PrepareTextureSize gave. Returns the host's error of the copy or the
// transform.
PF_Err PrepareTexture(PF_InData *in_data, PF_EffectWorld *texture, A_long texture_transform, double period,
                      PF_EffectWorld *textureWork);
