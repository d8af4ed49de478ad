// The two exported entry points: the announcement, and the dispatch of every command to its handler.
#include "shell/entry.h"

#include <new>

#include "render/smart_render.h"
#include "shell/identity.h"
#include "shell/params.h"

using vellumbra::kIdentity;

extern "C" PF_Err PluginDataEntryFunction(void *inPtr, PF_PluginDataCB inPluginDataCallBackPtr,
                                          SPBasicSuite * /*inSPBasicSuitePtr*/, const char * /*inHostName*/,
                                          const char * /*inHostVersion*/) {
    if (inPluginDataCallBackPtr == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    return inPluginDataCallBackPtr(inPtr, reinterpret_cast<const A_u_char *>(kIdentity.name),
                                   reinterpret_cast<const A_u_char *>(kIdentity.match_name),
                                   reinterpret_cast<const A_u_char *>(kIdentity.category),
                                   reinterpret_cast<const A_u_char *>(kIdentity.entry_point), kIdentity.kind,
                                   kIdentity.api_version, kIdentity.api_subversion, kIdentity.reserved_info);
}

PF_Err GlobalSetup(PF_InData * /*in_data*/, PF_OutData *out_data) {
    out_data->my_version = kIdentity.my_version;
    out_data->out_flags = kIdentity.out_flags;
    out_data->out_flags2 = kIdentity.out_flags2;
    return PF_Err_NONE;
}

PF_Err About(PF_InData *in_data, PF_OutData *out_data) {
    if (in_data->utils == nullptr || in_data->utils->ansi.sprintf == nullptr) return PF_Err_INVALID_CALLBACK;
    PF_SPRINTF(out_data->return_msg, "%s, v%s\r\r%s", kIdentity.name, kIdentity.about_version,
               kIdentity.description);
    return PF_Err_NONE;
}

namespace {

bool IsHandledCommand(PF_Cmd cmd) {
    switch (cmd) {
    case PF_Cmd_ABOUT:
    case PF_Cmd_GLOBAL_SETUP:
    case PF_Cmd_PARAMS_SETUP:
    case PF_Cmd_USER_CHANGED_PARAM:
    case PF_Cmd_UPDATE_PARAMS_UI:
    case PF_Cmd_SMART_PRE_RENDER:
    case PF_Cmd_SMART_RENDER:
        return true;
    default:
        return false;
    }
}

PF_Err Dispatch(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[], PF_LayerDef *output,
                void *extra) {
    switch (cmd) {
    case PF_Cmd_ABOUT:
        return About(in_data, out_data);
    case PF_Cmd_GLOBAL_SETUP:
        return GlobalSetup(in_data, out_data);
    case PF_Cmd_PARAMS_SETUP:
        return ParamsSetup(in_data, out_data);
    case PF_Cmd_USER_CHANGED_PARAM:
        return HandleChangedParam(in_data, out_data, params, output, extra);
    case PF_Cmd_UPDATE_PARAMS_UI:
        return HandleChangedParam(in_data, out_data, params, output, nullptr);
    case PF_Cmd_SMART_PRE_RENDER:
        return SmartPreRender(in_data, out_data, static_cast<PF_PreRenderExtra *>(extra));
    case PF_Cmd_SMART_RENDER:
        return SmartRender(in_data, out_data, static_cast<PF_SmartRenderExtra *>(extra));
    default:
        return PF_Err_NONE;
    }
}

}  // namespace

extern "C" PF_Err EffectMain(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                             PF_LayerDef *output, void *extra) {
    if (!IsHandledCommand(cmd)) return PF_Err_NONE;
    // Every handler reads the in-data and writes the out-data; a host that passes neither gets an error, not a
    // crash.
    if (in_data == nullptr || out_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;

    PF_Err err = PF_Err_NONE;
    // Nothing may unwind into the host: the integer of a missing suite is the command's error, and any other
    // exception (only possible from a host callback or the runtime) is mapped to an error code too.
    try {
        err = Dispatch(cmd, in_data, out_data, params, output, extra);
    } catch (A_long thrown) {
        err = thrown;
    } catch (const std::bad_alloc &) {
        err = PF_Err_OUT_OF_MEMORY;
    } catch (...) {
        err = PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    return err;
}
