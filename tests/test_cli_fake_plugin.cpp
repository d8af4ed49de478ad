// A stand-in plug-in module for the renderer's error tests: built once announcing itself and failing every
// pre-render with out-of-memory, and once (VB_FAKE_NO_ENTRY) exporting no entry point at all.
#include "api/effect_api.h"

#include <cstring>

#if defined(VB_FAKE_NO_ENTRY)
extern "C" __attribute__((visibility("default"))) int NotAnEffect() { return 0; }
#else
namespace {
PF_Err addLayerParam(PF_InData *in_data, A_long id) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    def.param_type = PF_Param_LAYER;
    std::strcpy(def.name, "Layer");
    def.uu.id = id;
    return PF_ADD_PARAM(in_data, -1, &def);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) PF_Err PluginDataEntryFunction(void *in_ptr, PF_PluginDataCB cb,
                                                                                  struct SPBasicSuite *, const char *,
                                                                                  const char *) {
    return cb(in_ptr, reinterpret_cast<const A_u_char *>("Failing"), reinterpret_cast<const A_u_char *>("Failing"),
              reinterpret_cast<const A_u_char *>("Test"), reinterpret_cast<const A_u_char *>("EffectMain"), 0, 13, 25,
              0);
}

extern "C" __attribute__((visibility("default"))) PF_Err EffectMain(PF_Cmd cmd, PF_InData *in_data,
                                                                     PF_OutData *out_data, PF_ParamDef *[],
                                                                     PF_LayerDef *, void *) {
    switch (cmd) {
    case PF_Cmd_PARAMS_SETUP:
        for (A_long id = 1; id <= 4; ++id) {
            PF_Err err = addLayerParam(in_data, id);
            if (err) return err;
        }
        out_data->num_params = 5;
        return PF_Err_NONE;
    case PF_Cmd_SMART_PRE_RENDER:
        std::strcpy(out_data->return_msg, "no memory for the frame");
        return PF_Err_OUT_OF_MEMORY;
    default:
        return PF_Err_NONE;
    }
}
#endif
