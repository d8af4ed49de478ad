// The effect's parameter indices: saved projects refer to parameters by these, so they never change.
#pragma once

enum ParamIndex {
    PARAM_INPUT = 0,
    PARAM_DEPTH_LAYER,
    PARAM_PATTERN,
    PARAM_DOT_CONTRAST,
    PARAM_TEXTURE_LAYER,
    PARAM_TEXTURE_TRANSFORM,
    PARAM_STEREOGRAM_TYPE,
    PARAM_PERIOD,
    PARAM_OVERSAMPLING,
    PARAM_POST_GROUP,
    PARAM_POST_ENABLE,
    PARAM_BLUR,
    PARAM_SHARPEN,
    PARAM_POST_GROUP_END,
    PARAM_COUNT
};

enum PatternChoice { PATTERN_RANDOM_DOTS = 1, PATTERN_RANDOM_COLOR_DOTS = 2, PATTERN_TEXTURE = 3 };
enum TextureTransformChoice { TEXTURE_CROPPING = 1, TEXTURE_RESIZING = 2 };
enum StereogramTypeChoice { STEREOGRAM_CONVERGENCE = 1, STEREOGRAM_DIVERGENCE = 2 };
