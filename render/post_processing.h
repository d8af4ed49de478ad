// Blur then sharpen of the finished stereogram through the host's blur and convolution.
#pragma once

#include "api/effect_api.h"

// Runs its steps only while *err is PF_Err_NONE and leaves its first error there.
void ApplyPostProcessing(PF_InData *in_data, PF_OutData *out_data, PF_EffectWorld *output, double blur,
                         double sharpen, PF_Err *err);

// A Blur or Sharpen amount held to 0..100; NaN and negative values count as 0 (no step).
double ClampPostAmount(double amount);

// The 3x3 sharpen kernel, row by row: centre M, edge neighbours N, corners 0. ceil_fn is the host's ceil.
void ComputeSharpenKernel(double sharpen, A_FpLong (*ceil_fn)(A_FpLong), A_long kernel[9]);
