// The per-frame record that travels from the smart pre-render to the smart render inside a host handle.
#pragma once

#include "api/effect_api.h"

// A plain record: no constructor or destructor, so it can live in host memory that is never cleared.
struct RenderInfo {
    PF_EffectWorld depth_world;  // the host's description of the depth-map layer; pixels stay the host's
    A_long pattern;              // 1 Random Dots, 2 Random Color Dots, 3 Texture
    double dot_contrast;         // percent, 0 to 100
    PF_EffectWorld texture_world;
    A_long texture_transform;  // 1 Cropping, 2 Resizing
    A_long stereogram_type;    // 1 Convergence (cross-eyed), 2 Divergence (normal)
    double period;             // pixels at the render's resolution; whole, at least 10
    A_long oversampling;       // 1 to 10
    bool post_enable;
    double blur;
    double sharpen;
    // The two layer parameters stay checked out from the pre-render until their pixels have been drawn; the
    // definitions are kept here so that whoever ends the frame can check them in.
    PF_ParamDef depth_param;
    PF_ParamDef texture_param;
    bool depth_checked_out;
    bool texture_checked_out;
};
