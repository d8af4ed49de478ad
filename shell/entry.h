// The effect's two exported entry points and the handlers of the commands that need nothing but the identity.
#pragma once

#include "api/effect_api.h"
#include "api/suites.h"

#if defined(_WIN32)
#define VELLUMBRA_EXPORT __declspec(dllexport)
#else
#define VELLUMBRA_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
// Announces the effect once through the host's callback and returns the callback's result.
VELLUMBRA_EXPORT PF_Err PluginDataEntryFunction(void *inPtr, PF_PluginDataCB inPluginDataCallBackPtr,
                                                SPBasicSuite *inSPBasicSuitePtr, const char *inHostName,
                                                const char *inHostVersion);

// Every command after the announcement: dispatches to the command's handler; no exception leaves it.
VELLUMBRA_EXPORT PF_Err EffectMain(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                                   PF_LayerDef *output, void *extra);
}

// Writes the effect version and the global flags into the out-data.
PF_Err GlobalSetup(PF_InData *in_data, PF_OutData *out_data);
// Formats the name, the About version text and the description into the out-data's message.
PF_Err About(PF_InData *in_data, PF_OutData *out_data);
