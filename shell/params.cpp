// Declares the parameters from the parameter table and keeps the host's controls enabled to match the choices.
#include "shell/params.h"

#include "api/crt.h"
#include "api/suites.h"
#include "shell/param_table.h"
#include "shell/suite_scoper.h"

using vellumbra::ParamDecl;
using vellumbra::kParamTable;

namespace {

// Fills a cleared definition from its table entry, field by field as the parameter's kind needs.
void FillDefinition(const ParamDecl &decl, PF_ParamDef *def) {
    switch (decl.type) {
    case PF_Param_LAYER:
        def->u.ld.dephault = static_cast<A_long>(decl.dephault);
        break;
    case PF_Param_POPUP:
        def->u.pd.num_choices = vellumbra::CountChoices(decl.choices);
        def->u.pd.dephault = static_cast<A_short>(decl.dephault);
        def->u.pd.value = static_cast<A_long>(decl.dephault);
        def->u.pd.u.namesptr = decl.choices;
        break;
    case PF_Param_FLOAT_SLIDER:
        def->u.fs_d.valid_min = static_cast<PF_FpShort>(decl.valid_min);
        def->u.fs_d.valid_max = static_cast<PF_FpShort>(decl.valid_max);
        def->u.fs_d.slider_min = static_cast<PF_FpShort>(decl.slider_min);
        def->u.fs_d.slider_max = static_cast<PF_FpShort>(decl.slider_max);
        def->u.fs_d.value = decl.dephault;
        def->u.fs_d.dephault = static_cast<PF_FpShort>(decl.dephault);
        def->u.fs_d.precision = decl.precision;
        def->u.fs_d.display_flags = decl.display_flags;
        def->u.fs_d.fs_flags = 0;
        def->u.fs_d.curve_tolerance = vellumbra::kFloatSliderCurveTolerance;
        break;
    case PF_Param_SLIDER:
        def->u.sd.valid_min = static_cast<PF_ParamValue>(decl.valid_min);
        def->u.sd.valid_max = static_cast<PF_ParamValue>(decl.valid_max);
        def->u.sd.slider_min = static_cast<PF_ParamValue>(decl.slider_min);
        def->u.sd.slider_max = static_cast<PF_ParamValue>(decl.slider_max);
        def->u.sd.value = static_cast<PF_ParamValue>(decl.dephault);
        def->u.sd.dephault = static_cast<PF_ParamValue>(decl.dephault);
        break;
    case PF_Param_CHECKBOX:
        def->u.bd.value = static_cast<PF_ParamValue>(decl.dephault);
        def->u.bd.dephault = static_cast<PF_Boolean>(decl.dephault);
        def->u.bd.u.nameptr = "";
        break;
    default:  // group start and end carry nothing but type and name
        break;
    }
}

}  // namespace

PF_Err ParamsSetup(PF_InData *in_data, PF_OutData *out_data) {
    if (in_data->utils == nullptr || in_data->utils->ansi.strcpy == nullptr || in_data->inter.add_param == nullptr) {
        return PF_Err_INVALID_CALLBACK;
    }
    for (const ParamDecl &decl : kParamTable) {
        PF_ParamDef def;
        memset(&def, 0, sizeof def);
        def.flags = decl.flags;
        def.param_type = decl.type;
        if (decl.name != nullptr) PF_STRCPY(def.name, decl.name);
        FillDefinition(decl, &def);
        def.uu.id = decl.index;
        PF_Err err = PF_ADD_PARAM(in_data, -1, &def);
        if (err != PF_Err_NONE) return err;
    }
    out_data->num_params = PARAM_COUNT;
    return PF_Err_NONE;
}

PF_Err enableParam(PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[], ParamIndex index, bool enable) {
    if (params == nullptr || index <= PARAM_INPUT || index >= PARAM_COUNT || params[index] == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    AEFX_SuiteScoper<PF_ParamUtilsSuite3> param_utils(in_data, kPFParamUtilsSuite, kPFParamUtilsSuiteVersion3,
                                                      out_data);
    if (param_utils->PF_UpdateParamUI == nullptr) return PF_Err_INVALID_CALLBACK;

    PF_ParamDef *def = params[index];
    if (enable) {
        def->ui_flags &= ~PF_PUI_DISABLED;
    } else {
        def->ui_flags |= PF_PUI_DISABLED;
    }
    // The update's result is not examined: one control the host could not redraw must not keep the others
    // from being updated.
    param_utils->PF_UpdateParamUI(in_data->effect_ref, index, def);
    return PF_Err_NONE;
}

PF_Err HandleChangedParam(PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                          PF_LayerDef * /*output*/, void * /*extra*/) {
    // A damaged parameter array is refused before any control changes, so the panel is never left half-updated.
    static const ParamIndex kRead[] = {PARAM_PATTERN,     PARAM_POST_ENABLE,       PARAM_DOT_CONTRAST,
                                       PARAM_TEXTURE_LAYER, PARAM_TEXTURE_TRANSFORM, PARAM_BLUR,
                                       PARAM_SHARPEN};
    if (params == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    for (ParamIndex index : kRead) {
        if (params[index] == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    }

    const A_long pattern = params[PARAM_PATTERN]->u.pd.value;
    const PF_ParamValue enabled = params[PARAM_POST_ENABLE]->u.bd.value;

    struct Dependent {
        ParamIndex index;
        bool enable;
    };
    const Dependent dependents[] = {
        {PARAM_DOT_CONTRAST, pattern == PATTERN_RANDOM_COLOR_DOTS},
        {PARAM_TEXTURE_LAYER, pattern == PATTERN_TEXTURE},
        {PARAM_TEXTURE_TRANSFORM, pattern == PATTERN_TEXTURE},
        {PARAM_BLUR, enabled > 0},
        {PARAM_SHARPEN, enabled > 0},
    };

    PF_Err err = PF_Err_NONE;
    for (const Dependent &d : dependents) {
        if (err == PF_Err_NONE) err = enableParam(in_data, out_data, params, d.index, d.enable);
    }
    return err;
}
