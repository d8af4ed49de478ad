// The two render commands: the pre-render reads the frame's parameters into a RenderInfo handle and requests
// the input pixels; the render draws the stereogram or passes the input through, then gives back everything.
#include "render/smart_render.h"

#include "api/crt.h"
#include "api/suites.h"
#include "render/host_world.h"
#include "render/post_processing.h"
#include "render/render_info.h"
#include "shell/param_index.h"
#include "shell/param_table.h"
#include "shell/suite_scoper.h"
#include "synthesis/render_stereogram.h"

namespace {

// The valid ranges of the Repetition Period and Oversampling controls. A damaged project can hold any value;
// the render works with the nearest valid one instead.
constexpr double kPeriodMin = vellumbra::FindParamDecl(PARAM_PERIOD)->valid_min;
constexpr double kPeriodMax = vellumbra::FindParamDecl(PARAM_PERIOD)->valid_max;
constexpr A_long kOversamplingMin = static_cast<A_long>(vellumbra::FindParamDecl(PARAM_OVERSAMPLING)->valid_min);
constexpr A_long kOversamplingMax = static_cast<A_long>(vellumbra::FindParamDecl(PARAM_OVERSAMPLING)->valid_max);

// The render-info handle from the handle suite: disposed when this owner ends unless handed on with Release().
class RenderInfoHandle {
public:
    RenderInfoHandle(const PF_HandleSuite2 *suite, PF_Handle handle) : suite_(suite), handle_(handle) {}
    ~RenderInfoHandle() { Dispose(); }
    RenderInfoHandle(const RenderInfoHandle &) = delete;
    RenderInfoHandle &operator=(const RenderInfoHandle &) = delete;

    PF_Handle get() const { return handle_; }

    RenderInfo *Lock() {
        if (handle_ == nullptr) return nullptr;
        info_ = static_cast<RenderInfo *>(suite_->host_lock_handle(handle_));
        return info_;
    }
    void Unlock() {
        if (info_ != nullptr) suite_->host_unlock_handle(handle_);
        info_ = nullptr;
    }
    // Unlocks if needed and frees the handle.
    void Dispose() {
        Unlock();
        if (handle_ != nullptr) suite_->host_dispose_handle(handle_);
        handle_ = nullptr;
    }
    // Gives the (unlocked) handle away: the owner no longer frees it.
    PF_Handle Release() {
        Unlock();
        PF_Handle handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    const PF_HandleSuite2 *suite_;
    PF_Handle handle_;
    RenderInfo *info_ = nullptr;
};

// The depth-map and texture layer checkouts recorded in a RenderInfo. They are checked in when the frame ends,
// or by this guard's destructor if a command is left early; Keep() hands them on to the render instead.
class LayerParamCheckins {
public:
    LayerParamCheckins(PF_InData *in_data, RenderInfo *info) : in_data_(in_data), info_(info) {}
    ~LayerParamCheckins() { CheckIn(); }
    LayerParamCheckins(const LayerParamCheckins &) = delete;
    LayerParamCheckins &operator=(const LayerParamCheckins &) = delete;

    void Keep() { info_ = nullptr; }

    // Checks in both, the second even when the first fails; returns the first error.
    PF_Err CheckIn() {
        PF_Err err = PF_Err_NONE;
        if (info_ == nullptr) return err;
        if (info_->depth_checked_out) {
            info_->depth_checked_out = false;
            KeepFirstError(&err, PF_CHECKIN_PARAM(in_data_, &info_->depth_param));
        }
        if (info_->texture_checked_out) {
            info_->texture_checked_out = false;
            KeepFirstError(&err, PF_CHECKIN_PARAM(in_data_, &info_->texture_param));
        }
        info_ = nullptr;
        return err;
    }

private:
    PF_InData *in_data_;
    RenderInfo *info_;
};

// The input layer's pixels under checkout id 0. Once a checkout has been asked for, exactly one check-in
// follows, also when the checkout failed: the host may hold something for the id even then.
class InputLayerPixels {
public:
    InputLayerPixels(PF_SmartRenderCallbacks *cb, PF_ProgPtr effect_ref) : cb_(cb), effect_ref_(effect_ref) {}
    ~InputLayerPixels() { CheckIn(); }
    InputLayerPixels(const InputLayerPixels &) = delete;
    InputLayerPixels &operator=(const InputLayerPixels &) = delete;

    PF_Err Checkout(PF_EffectWorld **world) {
        asked_ = true;
        return cb_->checkout_layer_pixels(effect_ref_, kCheckoutId, world);
    }
    PF_Err CheckIn() {
        if (!asked_) return PF_Err_NONE;
        asked_ = false;
        return cb_->checkin_layer_pixels(effect_ref_, kCheckoutId);
    }

private:
    static constexpr A_long kCheckoutId = 0;
    PF_SmartRenderCallbacks *cb_;
    PF_ProgPtr effect_ref_;
    bool asked_ = false;
};

// A fresh cleared definition for each checkout, as the host expects.
PF_Err checkoutParam(PF_InData *in_data, A_long index, PF_ParamDef *def) {
    memset(def, 0, sizeof *def);
    return PF_CHECKOUT_PARAM(in_data, index, in_data->current_time, in_data->time_step, in_data->time_scale,
                             def);
}

// Checks out a value parameter and checks it in again at once: only its value, copied into def, is needed.
PF_Err readParam(PF_InData *in_data, A_long index, PF_ParamDef *def) {
    PF_Err err = checkoutParam(in_data, index, def);
    if (err == PF_Err_NONE) err = PF_CHECKIN_PARAM(in_data, def);
    return err;
}

// Checks out a layer parameter into the record; the checkout stays open for the render to read its pixels.
PF_Err checkoutLayerParam(PF_InData *in_data, A_long index, PF_ParamDef *def, bool *checked_out,
                          PF_EffectWorld *world) {
    const PF_Err err = checkoutParam(in_data, index, def);
    if (err == PF_Err_NONE) {
        *checked_out = true;
        *world = def->u.ld;
    }
    return err;
}

// Contrast is a percentage; out-of-range or NaN values from a damaged project are held to 0..100.
double clampContrast(double contrast) {
    if (!(contrast > 0.0)) return 0.0;
    return contrast > 100.0 ? 100.0 : contrast;
}

// Reads every parameter the render needs into info, each step only while the previous ones succeeded.
PF_Err readParameters(PF_InData *in_data, RenderInfo *info) {
    PF_Err err = PF_Err_NONE;
    PF_ParamDef def;

    err = checkoutLayerParam(in_data, PARAM_DEPTH_LAYER, &info->depth_param, &info->depth_checked_out,
                             &info->depth_world);
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_PATTERN, &def);
    if (err == PF_Err_NONE) info->pattern = def.u.pd.value;
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_DOT_CONTRAST, &def);
    if (err == PF_Err_NONE) info->dot_contrast = clampContrast(def.u.fs_d.value);
    if (err == PF_Err_NONE) {
        err = checkoutLayerParam(in_data, PARAM_TEXTURE_LAYER, &info->texture_param, &info->texture_checked_out,
                                 &info->texture_world);
    }
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_TEXTURE_TRANSFORM, &def);
    if (err == PF_Err_NONE) info->texture_transform = def.u.pd.value;
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_STEREOGRAM_TYPE, &def);
    if (err == PF_Err_NONE) info->stereogram_type = def.u.pd.value;
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_PERIOD, &def);
    if (err == PF_Err_NONE) info->period = def.u.fs_d.value;
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_OVERSAMPLING, &def);
    if (err == PF_Err_NONE) info->oversampling = ClampOversampling(def.u.sd.value);
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_POST_ENABLE, &def);
    if (err == PF_Err_NONE) info->post_enable = def.u.bd.value > 0;
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_BLUR, &def);
    if (err == PF_Err_NONE) info->blur = ClampPostAmount(def.u.fs_d.value);
    if (err == PF_Err_NONE) err = readParam(in_data, PARAM_SHARPEN, &def);
    if (err == PF_Err_NONE) info->sharpen = ClampPostAmount(def.u.fs_d.value);
    return err;
}

bool worldUsable(const PF_EffectWorld &world) {
    return world.data != nullptr && world.width > 0 && world.height > 0;
}

bool inDataUsable(const PF_InData *in_data) {
    return in_data != nullptr && in_data->pica_basicP != nullptr && in_data->utils != nullptr &&
           in_data->inter.checkout_param != nullptr && in_data->inter.checkin_param != nullptr;
}

}  // namespace

bool IsEmptyRect(const PF_LRect *rect) {
    return rect->left >= rect->right || rect->top >= rect->bottom;
}

void UnionLRect(const PF_LRect *src, PF_LRect *dst) {
    if (IsEmptyRect(dst)) {
        *dst = *src;
    } else if (!IsEmptyRect(src)) {
        if (src->left < dst->left) dst->left = src->left;
        if (src->top < dst->top) dst->top = src->top;
        if (src->right > dst->right) dst->right = src->right;
        if (src->bottom > dst->bottom) dst->bottom = src->bottom;
    }
}

double ScalePeriodToRender(double period, PF_RationalScale downsample_x) {
    // NaN and values beyond the control's range (a damaged project) are held to the range before scaling, so
    // the truncation below always has a value that fits.
    if (!(period >= kPeriodMin)) period = kPeriodMin;
    if (period > kPeriodMax) period = kPeriodMax;
    double factor = double(downsample_x.num) / double(downsample_x.den);
    // A zero denominator or a non-positive numerator is no resolution at all: render as at full resolution.
    if (!(factor > 0.0) || factor != factor || factor > double(PF_MAX_WORLD_DIMENSION)) factor = 1.0;
    double scaled = period * factor;
    if (scaled > double(PF_MAX_WORLD_DIMENSION)) scaled = double(PF_MAX_WORLD_DIMENSION);
    scaled = double(static_cast<A_long>(scaled));
    return scaled < kPeriodMin ? kPeriodMin : scaled;
}

A_long ClampOversampling(A_long oversampling) {
    if (oversampling < kOversamplingMin) return kOversamplingMin;
    return oversampling > kOversamplingMax ? kOversamplingMax : oversampling;
}

PF_Err SmartPreRender(PF_InData *in_data, PF_OutData *out_data, PF_PreRenderExtra *extra) {
    if (!inDataUsable(in_data) || out_data == nullptr || extra == nullptr || extra->input == nullptr ||
        extra->output == nullptr || extra->cb == nullptr || extra->cb->checkout_layer == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const PF_RenderRequest request = extra->input->output_request;
    AEFX_SuiteScoper<PF_HandleSuite2> handle_suite(in_data, kPFHandleSuite, kPFHandleSuiteVersion2, out_data);

    RenderInfoHandle handle(handle_suite.get(), handle_suite->host_new_handle(sizeof(RenderInfo)));
    if (handle.get() == nullptr) return PF_Err_OUT_OF_MEMORY;
    RenderInfo *info = handle.Lock();
    // A handle that cannot be locked cannot carry the frame: report it rather than render a blank frame.
    if (info == nullptr) return PF_Err_OUT_OF_MEMORY;
    // The host does not clear handle memory; the check-in flags must start false.
    memset(info, 0, sizeof *info);

    LayerParamCheckins layer_params(in_data, info);
    PF_Err err = readParameters(in_data, info);
    if (err == PF_Err_NONE) info->period = ScalePeriodToRender(info->period, in_data->downsample_x);

    PF_CheckoutResult checkout;
    memset(&checkout, 0, sizeof checkout);
    if (err == PF_Err_NONE) {
        err = extra->cb->checkout_layer(in_data->effect_ref, PARAM_INPUT, 0, &request, in_data->current_time,
                                        in_data->time_step, in_data->time_scale, &checkout);
    }
    if (err != PF_Err_NONE) {
        // The host sends no render after a failed pre-render: give back the layers and the handle here.
        layer_params.CheckIn();
        handle.Dispose();
        extra->output->pre_render_data = nullptr;
        return err;
    }

    UnionLRect(&checkout.result_rect, &extra->output->result_rect);
    UnionLRect(&checkout.max_result_rect, &extra->output->max_result_rect);
    layer_params.Keep();
    extra->output->pre_render_data = handle.Release();
    return PF_Err_NONE;
}

PF_Err SmartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra) {
    if (!inDataUsable(in_data) || out_data == nullptr || extra == nullptr || extra->input == nullptr ||
        extra->cb == nullptr || extra->cb->checkout_layer_pixels == nullptr ||
        extra->cb->checkin_layer_pixels == nullptr || extra->cb->checkout_output == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    AEFX_SuiteScoper<PF_HandleSuite2> handle_suite(in_data, kPFHandleSuite, kPFHandleSuiteVersion2, out_data);

    // The frame's handle is ours from here on and is freed before returning; forgetting it in the input keeps
    // a second render of the same data from touching freed memory.
    PF_Handle pre_render_data = static_cast<PF_Handle>(extra->input->pre_render_data);
    if (pre_render_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    extra->input->pre_render_data = nullptr;
    RenderInfoHandle handle(handle_suite.get(), pre_render_data);
    RenderInfo *info = handle.Lock();
    // Unreadable, so its layer checkouts cannot be given back; the handle itself is still freed.
    if (info == nullptr) return PF_Err_OUT_OF_MEMORY;

    LayerParamCheckins layer_params(in_data, info);
    InputLayerPixels input(extra->cb, in_data->effect_ref);
    PF_EffectWorld *input_world = nullptr;
    PF_EffectWorld *output = nullptr;

    PF_Err err = input.Checkout(&input_world);
    if (err == PF_Err_NONE) err = extra->cb->checkout_output(in_data->effect_ref, &output);
    // Success without a world leaves nothing to draw into: that is the host's fault, not a finished frame.
    if (err == PF_Err_NONE && output == nullptr) err = PF_Err_BAD_CALLBACK_PARAM;

    if (err == PF_Err_NONE) {
        const bool depth_usable = worldUsable(info->depth_world);
        const bool texture_usable =
            depth_usable && info->pattern == PATTERN_TEXTURE && worldUsable(info->texture_world);
        const bool random_usable = depth_usable && (info->pattern == PATTERN_RANDOM_DOTS ||
                                                    info->pattern == PATTERN_RANDOM_COLOR_DOTS);
        // A suite missing below throws its error; catching it here lets the frame give back its input layer,
        // layers and handle like any other failure (the message is already written).
        try {
            if (random_usable || texture_usable) {
                RenderStereogram(in_data, out_data, output, info);
                if (info->post_enable) {
                    ApplyPostProcessing(in_data, out_data, output, info->blur, info->sharpen, &err);
                }
            } else if (input_world == nullptr) {
                err = PF_Err_BAD_CALLBACK_PARAM;
            } else {
                err = PF_COPY(input_world, output, nullptr, nullptr);
            }
        } catch (A_long thrown) {
            err = thrown;
        }
    }

    KeepFirstError(&err, input.CheckIn());
    KeepFirstError(&err, layer_params.CheckIn());
    handle.Dispose();
    return err;
}
