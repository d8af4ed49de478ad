// The parameter set's handlers: declaring the parameters, and keeping the host's controls enabled or disabled
// to match Pattern and the post-processing switch.
#pragma once

#include "api/effect_api.h"
#include "shell/param_index.h"

// Adds the parameters of the parameter table in order and reports how many the effect has.
PF_Err ParamsSetup(PF_InData *in_data, PF_OutData *out_data);

// Recomputes the enabled state of every dependent control from Pattern and Enable, whichever changed.
// The output world and the extra record are not used.
PF_Err HandleChangedParam(PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[], PF_LayerDef *output,
                          void *extra);

// Sets or clears the disabled bit of one parameter's host definition and tells the host.
PF_Err enableParam(PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[], ParamIndex index, bool enable);
