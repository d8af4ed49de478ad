// The effect's parameter set, declared once as data: what ParamsSetup hands the host, and what the
// command-line help and the tests read instead of restating values.
#pragma once

#include "api/effect_api.h"
#include "shell/param_index.h"

namespace vellumbra {

struct ParamDecl {
    ParamIndex index;       // also the definition's identifier
    PF_ParamType type;
    const char *name;       // UI name; null for the group end, which has none
    PF_ParamFlags flags;
    // Sliders: the range a typed value may take, the range the slider shows, and the default. Popups and
    // checkboxes use only the default (a popup's choice counts from 1).
    double valid_min, valid_max;
    double slider_min, slider_max;
    double dephault;
    A_short precision;      // float sliders: decimals shown
    A_short display_flags;  // float sliders: PF_ValueDisplayFlag_*
    const char *choices;    // popups: the choices separated by '|'
};

// Number of choices in a '|'-separated popup string.
constexpr A_short CountChoices(const char *choices) {
    if (choices == nullptr || *choices == '\0') return 0;
    A_short count = 1;
    for (const char *c = choices; *c != '\0'; ++c) {
        if (*c == '|') ++count;
    }
    return count;
}

// Float sliders carry this curve tolerance.
inline constexpr PF_FpShort kFloatSliderCurveTolerance = 0.05f;

// Every parameter the effect adds, in the order it adds them (index 0, the input layer, is the host's).
inline constexpr ParamDecl kParamTable[] = {
    {PARAM_DEPTH_LAYER, PF_Param_LAYER, "Depth Map Layer", 0, 0, 0, 0, 0, PF_LayerDefault_NONE, 0, 0, nullptr},
    {PARAM_PATTERN, PF_Param_POPUP, "Pattern", PF_ParamFlag_SUPERVISE, 0, 0, 0, 0, PATTERN_RANDOM_DOTS, 0, 0,
     "Random Dots|Random Color Dots|Texture"},
    {PARAM_DOT_CONTRAST, PF_Param_FLOAT_SLIDER, "Dot Contrast", PF_ParamFlag_COLLAPSE_TWIRLY, 0, 100, 0, 100, 50,
     0, PF_ValueDisplayFlag_PERCENT, nullptr},
    {PARAM_TEXTURE_LAYER, PF_Param_LAYER, "Texture Layer", 0, 0, 0, 0, 0, PF_LayerDefault_NONE, 0, 0, nullptr},
    {PARAM_TEXTURE_TRANSFORM, PF_Param_POPUP, "Texture Transform", 0, 0, 0, 0, 0, TEXTURE_CROPPING, 0, 0,
     "Cropping|Resizing"},
    {PARAM_STEREOGRAM_TYPE, PF_Param_POPUP, "Stereogram Type", 0, 0, 0, 0, 0, STEREOGRAM_DIVERGENCE, 0, 0,
     "Convergence (cross-eyed)|Divergence (normal)"},
    {PARAM_PERIOD, PF_Param_FLOAT_SLIDER, "Repetition Period (px)", 0, 10, 400, 10, 300, 100, 0, 0, nullptr},
    {PARAM_OVERSAMPLING, PF_Param_SLIDER, "Oversampling", 0, 1, 10, 1, 10, 4, 0, 0, nullptr},
    {PARAM_POST_GROUP, PF_Param_GROUP_START, "Post-Processing", 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
    {PARAM_POST_ENABLE, PF_Param_CHECKBOX, "Enable", PF_ParamFlag_SUPERVISE, 0, 0, 0, 0, 0, 0, 0, nullptr},
    {PARAM_BLUR, PF_Param_FLOAT_SLIDER, "Blur", 0, 0, 100, 0, 5, 0, 1, 0, nullptr},
    {PARAM_SHARPEN, PF_Param_FLOAT_SLIDER, "Sharpen", 0, 0, 100, 0, 5, 0, 1, 0, nullptr},
    {PARAM_POST_GROUP_END, PF_Param_GROUP_END, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
};

inline constexpr int kParamTableSize = static_cast<int>(sizeof kParamTable / sizeof kParamTable[0]);
static_assert(kParamTableSize == PARAM_COUNT - 1, "one entry per parameter after the input layer");

constexpr bool NamesFitTheHost() {
    for (const ParamDecl &decl : kParamTable) {
        int length = 0;
        for (const char *c = decl.name; c != nullptr && *c != '\0'; ++c) ++length;
        if (length > PF_MAX_EFFECT_PARAM_NAME_LEN) return false;
    }
    return true;
}
static_assert(NamesFitTheHost(), "every UI name fits the host's name field");

// The entry of a parameter index, or null for the input layer and indices outside the set.
constexpr const ParamDecl *FindParamDecl(int index) {
    for (const ParamDecl &decl : kParamTable) {
        if (decl.index == index) return &decl;
    }
    return nullptr;
}

}  // namespace vellumbra
