// Blur then sharpen of the finished stereogram through the host's blur and convolution.
#pragma once

#include "api/effect_api.h"

// Runs its steps only while *err is PF_Err_NONE and leaves its first error there.
void ApplyPostProcessing(PF_InData *in_data, PF_OutData *out_data, PF_EffectWorld *output, double blur,
                         double sharpen, PF_Err *err);
