// The host calls that fill the working texture.
#include "synthesis/prepare_texture.h"

#include "api/crt.h"
#include "shell/param_index.h"
#include "synthesis/geometry.h"

PF_Err PrepareTexture(PF_InData *in_data, PF_EffectWorld *texture, A_long texture_transform, double period,
                      PF_EffectWorld *textureWork) {
    if (texture_transform != TEXTURE_RESIZING) return PF_COPY(texture, textureWork, nullptr, nullptr);

    if (texture->width <= 0) return PF_Err_BAD_CALLBACK_PARAM;  // no scale to a period from an empty texture
    // Scale uniformly so the texture's width becomes the period; its height follows.
    const double s = SanitizePeriod(period) / double(texture->width);
    PF_FloatMatrix matrix;
    memset(&matrix, 0, sizeof matrix);
    matrix.mat[0][0] = s;
    matrix.mat[1][1] = s;
    matrix.mat[2][2] = 1.0;
    PF_CompositeMode mode;
    memset(&mode, 0, sizeof mode);
    mode.xfer = 0;
    mode.rand_seed = 0;
    mode.opacity = 255;
    mode.rgb_only = 0;
    mode.opacitySu = 0;
    PF_Rect dest = {0, 0, textureWork->width, textureWork->height};
    return (*in_data->utils->transform_world)(in_data->effect_ref, in_data->quality, PF_MF_Alpha_STRAIGHT,
                                              in_data->field, texture, &mode, nullptr, &matrix, 1, 1, &dest,
                                              textureWork);
}
