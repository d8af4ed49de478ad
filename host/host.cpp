// The stand-in host: its records for the effect, parameters and their values, layers, commands, the frame loop
// with its smart-render callbacks, and the ledger of what the effect holds.
#include "host/host_impl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>

namespace vbhost {

namespace {

constexpr PF_ChannelMask kAllChannels = 0xF;

bool isEmpty(const PF_LRect &r) { return r.left >= r.right || r.top >= r.bottom; }

PF_LRect intersect(const PF_LRect &a, const PF_LRect &b) {
    PF_LRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
    if (isEmpty(r)) r = PF_LRect{0, 0, 0, 0};
    return r;
}

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

A_long toLong(double v) {
    if (!(v == v)) return 0;
    if (v >= double(std::numeric_limits<A_long>::max())) return std::numeric_limits<A_long>::max();
    if (v <= double(std::numeric_limits<A_long>::min())) return std::numeric_limits<A_long>::min();
    return A_long(v);
}

A_short bitdepthOf(Depth d) { return A_short(int(d)); }

}  // namespace

// ---------------------------------------------------------------- ledger

bool Ledger::empty() const {
    return suites == 0 && handles == 0 && locked_handles == 0 && worlds == 0 && layer_checkouts == 0 &&
           param_checkouts == 0 && damaged_worlds == 0;
}

std::string Ledger::describe() const {
    std::ostringstream s;
    auto item = [&s](const char *name, int n) {
        if (n == 0) return;
        if (s.tellp() > 0) s << ' ';
        s << name << '=' << n;
    };
    item("suites", suites);
    if (suites > 0) {
        s << " (";
        for (std::size_t i = 0; i < suite_names.size(); ++i) s << (i ? ", " : "") << suite_names[i];
        s << ')';
    }
    item("handles", handles);
    item("locked_handles", locked_handles);
    item("worlds", worlds);
    item("layer_checkouts", layer_checkouts);
    item("param_checkouts", param_checkouts);
    item("damaged_worlds", damaged_worlds);
    return s.tellp() > 0 ? s.str() : std::string("nothing held");
}

// ---------------------------------------------------------------- the host's records

Host::Impl::Impl(HostOptions o) : opts(o) {
    slot = ClaimSlot(this);
    tables = TablesForSlot(slot);
    send_ctx.impl = this;
    live_contexts.insert(&send_ctx);
    ResetParamsLocked();
    in.inter = tables.inter;
    in.utils = &tables.utils;
    in.effect_ref = &send_ctx;
    in.pica_basicP = &tables.basic;
    in.quality = PF_Quality_HI;
    in.version_major = 13;
    in.version_minor = 25;
    in.time_step = opts.time_step;
    in.local_time_step = opts.time_step;
    in.time_scale = opts.time_scale;
    in.field = PF_Field_FRAME;
    in.downsample_x = PF_RationalScale{1, 1};
    in.downsample_y = PF_RationalScale{1, 1};
    in.pixel_aspect_ratio = PF_RationalScale{1, 1};
}

Host::Impl::~Impl() { ReleaseSlot(slot); }

void Host::Impl::ResetParamsLocked() {
    defs.clear();
    def_names.clear();
    layer_ids.clear();
    PF_ParamDef input{};
    input.param_type = PF_Param_LAYER;
    defs.push_back(input);
    def_names.emplace_back();
    layer_ids.push_back(0);  // index 0 always shows the input layer
}

const Image *Host::Impl::LayerFrameLocked(int layer_id, A_long time, A_long time_scale, std::size_t *index) const {
    auto it = layers.find(layer_id);
    if (it == layers.end() || it->second.frames.empty()) return nullptr;
    // Times in another scale are brought to the host's before the frame is picked.
    long long t = time;
    if (time_scale != 0 && A_u_long(time_scale) != opts.time_scale)
        t = t * (long long)opts.time_scale / (long long)time_scale;
    const long long step = opts.time_step > 0 ? opts.time_step : 1;
    long long i = t >= 0 ? t / step : 0;
    i = std::min<long long>(i, (long long)it->second.frames.size() - 1);
    const Image &picture = it->second.frames[std::size_t(i)];
    if (picture.width <= 0 || picture.height <= 0) return nullptr;
    *index = std::size_t(i);
    return &picture;
}

bool Host::Impl::LayerSizeLocked(int layer_id, A_long time, A_long time_scale, int downsample, int *width,
                                 int *height) const {
    std::size_t index = 0;
    const Image *picture = LayerFrameLocked(layer_id, time, time_scale, &index);
    if (picture == nullptr) return false;
    const int factor = std::max(1, downsample);
    *width = (picture->width + factor - 1) / factor;
    *height = (picture->height + factor - 1) / factor;
    return true;
}

PF_Err Host::Impl::LayerPixelsLocked(int layer_id, A_long time, A_long time_scale, int downsample,
                                     std::shared_ptr<const LayerPixels> *out) {
    out->reset();
    std::size_t index = 0;
    const Image *picture = LayerFrameLocked(layer_id, time, time_scale, &index);
    if (picture == nullptr) return PF_Err_NONE;
    const int factor = std::max(1, downsample);
    const auto key = std::make_tuple(layer_id, index, factor, int(opts.project_depth));
    auto it = layer_pixels.find(key);
    if (it == layer_pixels.end()) {
        try {
            // Shrink first, then widen: every depth then carries the same 8-bit values of a downsampled picture.
            const auto packed = packed_layers.find(layer_id);
            auto made = std::make_shared<const LayerPixels>(
                packed != packed_layers.end() ? PackPixels(packed->second, factor, opts.project_depth)
                                              : PackPixels(*picture, factor, opts.project_depth));
            it = layer_pixels.emplace(key, std::move(made)).first;
        } catch (const std::bad_alloc &) {
            return PF_Err_OUT_OF_MEMORY;
        }
    }
    *out = it->second;
    return PF_Err_NONE;
}

// ---------------------------------------------------------------- parameter callbacks

PF_Err Host::Impl::AddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDef *def) {
    PF_Err err = Fire("add_param");
    CallContext *ctx = err ? nullptr : Context(ref);
    if (!err && (ctx == nullptr || def == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    // The two parameter-UI commands hold pointers into the definitions: they must not grow then.
    if (!err && (ctx->cmd == PF_Cmd_USER_CHANGED_PARAM || ctx->cmd == PF_Cmd_UPDATE_PARAMS_UI))
        err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        if (index != -1 && std::size_t(index) != defs.size()) {
            err = PF_Err_INVALID_INDEX;
        } else {
            PF_ParamDef copy = *def;
            std::unique_ptr<std::string> names;
            // The choices and labels live in the effect's memory; the host keeps its own copy of them.
            if (copy.param_type == PF_Param_POPUP && copy.u.pd.u.namesptr != nullptr) {
                names = std::make_unique<std::string>(copy.u.pd.u.namesptr);
                copy.u.pd.u.namesptr = names->c_str();
            } else if (copy.param_type == PF_Param_CHECKBOX && copy.u.bd.u.nameptr != nullptr) {
                names = std::make_unique<std::string>(copy.u.bd.u.nameptr);
                copy.u.bd.u.nameptr = names->c_str();
            }
            copy.name[PF_MAX_EFFECT_PARAM_NAME_LEN] = '\0';
            defs.push_back(copy);
            def_names.push_back(std::move(names));
            layer_ids.push_back(0);
        }
    }
    Log("add_param", err);
    return err;
}

PF_Err Host::Impl::CheckoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_long, A_u_long scale,
                                 PF_ParamDef *param) {
    PF_Err err = Fire("checkout_param");
    CallContext *ctx = err ? nullptr : Context(ref);
    if (!err && (ctx == nullptr || param == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        if (index < 0 || std::size_t(index) >= defs.size()) {
            err = PF_Err_INVALID_INDEX;
        } else {
            const PF_ParamDef &def = defs[std::size_t(index)];
            *param = def;
            ParamCheckout rec;
            rec.ctx = ctx;
            rec.id = def.uu.id;
            rec.type = def.param_type;
            if (def.param_type == PF_Param_LAYER) {
                std::memset(&param->u.ld, 0, sizeof param->u.ld);
                const int layer = index == 0 ? input_layer : layer_ids[std::size_t(index)];
                const int downsample = ctx->frame ? ctx->frame->downsample : 1;
                std::shared_ptr<const LayerPixels> pixels;
                if (layer != 0) err = LayerPixelsLocked(layer, time, scale, downsample, &pixels);
                if (pixels) {
                    WorldRec *world = LentWorldLocked(pixels);
                    if (world == nullptr) {
                        err = PF_Err_OUT_OF_MEMORY;
                    } else {
                        param->u.ld = world->desc;
                        rec.data = world->desc.data;
                    }
                }
            }
            if (!err) param_checkouts.push_back(rec);
        }
    }
    Log("checkout_param", err);
    return err;
}

PF_Err Host::Impl::CheckinParam(PF_ProgPtr ref, PF_ParamDef *param) {
    PF_Err err = Fire("checkin_param");
    CallContext *ctx = err ? nullptr : Context(ref);
    if (!err && (ctx == nullptr || param == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        // A layer checkout is known by its pixels; anything else by its identifier and type.
        const bool by_pixels = param->param_type == PF_Param_LAYER && param->u.ld.data != nullptr;
        auto it = std::find_if(param_checkouts.begin(), param_checkouts.end(), [&](const ParamCheckout &c) {
            if (c.ctx != ctx) return false;
            if (by_pixels) return c.data == param->u.ld.data;
            return c.data == nullptr && c.id == param->uu.id && c.type == param->param_type;
        });
        if (it == param_checkouts.end()) {
            err = PF_Err_BAD_CALLBACK_PARAM;
        } else {
            if (it->data) FreeWorldLocked(it->data);
            param_checkouts.erase(it);
        }
    }
    Log("checkin_param", err);
    return err;
}

// ---------------------------------------------------------------- smart render callbacks

PF_Err Host::Impl::CheckoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest *req,
                                 A_long time, A_long, A_u_long, PF_CheckoutResult *result) {
    PF_Err err = Fire("checkout_layer");
    CallContext *ctx = err ? nullptr : Context(ref);
    if (!err && (ctx == nullptr || ctx->frame == nullptr || ctx->frame->phase != Frame::Phase::kPreRender ||
                 req == nullptr || result == nullptr))
        err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err && index != 0) err = PF_Err_INVALID_INDEX;  // only the input layer is offered
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        Frame &f = *ctx->frame;
        Frame::LayerCheckout &lc = f.layer_checkouts[id];
        lc.request = *req;
        lc.time = time;
        const PF_LRect bounds{0, 0, f.width, f.height};
        std::memset(result, 0, sizeof *result);
        result->result_rect = intersect(req->rect, bounds);
        result->max_result_rect = bounds;
        result->par = PF_RationalScale{1, 1};
        result->ref_width = f.width;
        result->ref_height = f.height;
    }
    Log("checkout_layer", err);
    return err;
}

PF_Err Host::Impl::CheckoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld **pixels) {
    PF_Err err = Fire("checkout_layer_pixels");
    CallContext *ctx = err ? nullptr : Context(ref);
    if (!err && (ctx == nullptr || ctx->frame == nullptr || ctx->frame->phase != Frame::Phase::kRender ||
                 pixels == nullptr))
        err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        Frame &f = *ctx->frame;
        auto it = f.layer_checkouts.find(id);
        if (it == f.layer_checkouts.end()) {
            err = PF_Err_BAD_CALLBACK_PARAM;  // never requested in the pre-render
        } else {
            Frame::LayerCheckout &lc = it->second;
            if (lc.world == nullptr) {
                std::shared_ptr<const LayerPixels> picture;
                err = LayerPixelsLocked(input_layer, lc.time, A_long(opts.time_scale), f.downsample, &picture);
                if (!err && !picture) err = PF_Err_BAD_CALLBACK_PARAM;
                WorldRec *world = err ? nullptr : LentWorldLocked(picture);
                if (world) {
                    f.owned_worlds.push_back(world->desc.data);
                    lc.world = &world->desc;
                } else if (!err) {
                    err = PF_Err_OUT_OF_MEMORY;
                }
            }
            if (!err) {
                *pixels = lc.world;
                ++lc.outstanding;
                ++layer_checkouts;
            }
        }
    }
    Log("checkout_layer_pixels", err);
    return err;
}

PF_Err Host::Impl::CheckinLayerPixels(PF_ProgPtr ref, A_long id) {
    PF_Err err = Fire("checkin_layer_pixels");
    CallContext *ctx = err ? nullptr : Context(ref);
    if (!err && (ctx == nullptr || ctx->frame == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = ctx->frame->layer_checkouts.find(id);
        if (it == ctx->frame->layer_checkouts.end()) {
            err = PF_Err_BAD_CALLBACK_PARAM;
        } else if (it->second.outstanding > 0) {
            --it->second.outstanding;
            --layer_checkouts;
        }
        // Checking in a requested layer whose pixel checkout failed is harmless and answers no error.
    }
    Log("checkin_layer_pixels", err);
    return err;
}

PF_Err Host::Impl::CheckoutOutput(PF_ProgPtr ref, PF_EffectWorld **output) {
    PF_Err err = Fire("checkout_output");
    CallContext *ctx = err ? nullptr : Context(ref);
    if (!err && (ctx == nullptr || ctx->frame == nullptr || ctx->frame->phase != Frame::Phase::kRender ||
                 output == nullptr))
        err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        Frame &f = *ctx->frame;
        if (f.output == nullptr) {
            // Transparent black, in the project's depth, the input layer's size at render resolution.
            WorldRec *world =
                NewWorldLocked(f.width, f.height, opts.project_depth, WorldOwner::kHost, WorldFill::kZero, &err);
            if (world) {
                f.owned_worlds.push_back(world->desc.data);
                f.output = &world->desc;
            }
        }
        if (!err) *output = f.output;
    }
    Log("checkout_output", err);
    return err;
}

PF_Err Host::Impl::PluginDataCallback(void *in_ptr, const A_u_char *name, const A_u_char *match_name,
                                      const A_u_char *category, const A_u_char *entry_point, A_long kind,
                                      A_long api_version, A_long api_subversion, A_long reserved_info) {
    PF_Err err = Fire("plugin_data_callback");
    if (!err && in_ptr == nullptr) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        auto *a = static_cast<Host::Announcement *>(in_ptr);
        auto text = [](const A_u_char *s) { return s ? std::string(reinterpret_cast<const char *>(s)) : std::string(); };
        a->name = text(name);
        a->match_name = text(match_name);
        a->category = text(category);
        a->entry_point = text(entry_point);
        a->kind = kind;
        a->api_version = api_version;
        a->api_subversion = api_subversion;
        a->reserved_info = reserved_info;
        ++a->calls;
    }
    Log("plugin_data_callback", err);
    return err;
}

// ---------------------------------------------------------------- Host

Host::Host(HostOptions options) : impl_(std::make_unique<Impl>(options)) {}
Host::~Host() = default;

const HostOptions &Host::options() const { return impl_->opts; }

void Host::SetProjectDepth(Depth depth) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->opts.project_depth = depth;
}

void Host::SetEffect(PF_EffectMainFunc effect_main, PF_PluginDataEntryFunc entry) {
    impl_->effect_main = effect_main;
    impl_->entry = entry;
}

PF_Err Host::Announce(Announcement *out) {
    if (impl_->entry == nullptr) return PF_Err_INVALID_CALLBACK;
    Announcement a;
    const PF_Err err = impl_->entry(&a, impl_->tables.data_cb, &impl_->tables.basic, "Vellumbra stand-in host", "1.0");
    if (out) *out = a;
    return err;
}

namespace {

// The parameter array of a command: copies of the current definitions (layer descriptions left empty, as layers
// come by checkout), with a null entry after the last.
struct ParamArray {
    std::vector<PF_ParamDef> copies;
    std::vector<PF_ParamDef *> pointers;
    void FromCopies(const std::vector<PF_ParamDef> &defs) {
        copies = defs;
        for (PF_ParamDef &d : copies)
            if (d.param_type == PF_Param_LAYER) std::memset(&d.u.ld, 0, sizeof d.u.ld);
        pointers.clear();
        for (PF_ParamDef &d : copies) pointers.push_back(&d);
        pointers.push_back(nullptr);
    }
    void FromOriginals(std::vector<PF_ParamDef> &defs) {
        pointers.clear();
        for (PF_ParamDef &d : defs) pointers.push_back(&d);
        pointers.push_back(nullptr);
    }
};

}  // namespace

PF_Err Host::Send(PF_Cmd cmd, void *extra, PF_LayerDef *output) {
    Impl &h = *impl_;
    if (h.effect_main == nullptr) return PF_Err_INVALID_CALLBACK;
    ParamArray params;
    {
        std::lock_guard<std::mutex> lock(h.mu);
        if (cmd == PF_Cmd_PARAMS_SETUP) h.ResetParamsLocked();
        if (cmd == PF_Cmd_USER_CHANGED_PARAM || cmd == PF_Cmd_UPDATE_PARAMS_UI)
            params.FromOriginals(h.defs);
        else
            params.FromCopies(h.defs);
        h.in.num_params = A_long(h.defs.size());
    }
    // The host's own pointers are put back, whatever a caller changed in the in-data.
    h.in.inter = h.tables.inter;
    h.in.utils = &h.tables.utils;
    h.in.effect_ref = &h.send_ctx;
    h.in.pica_basicP = &h.tables.basic;
    h.send_ctx.cmd = cmd;
    const PF_Err err = h.effect_main(cmd, &h.in, &h.out, params.pointers.data(), output, extra);
    h.send_ctx.cmd = -1;
    return err;
}

PF_InData &Host::in_data() { return impl_->in; }
PF_OutData &Host::out_data() { return impl_->out; }

const std::vector<PF_ParamDef> &Host::param_defs() const { return impl_->defs; }

bool Host::SetParamValue(int index, double value, std::string *error) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<PF_ParamDef> &defs = impl_->defs;
    auto fail = [error](const std::string &message) {
        if (error) *error = message;
        return false;
    };
    if (index < 0 || std::size_t(index) >= defs.size())
        return fail("There is no parameter " + std::to_string(index) + "; the effect has " +
                    std::to_string(defs.size()) + " (0 to " + std::to_string(defs.size() - 1) + ").");
    PF_ParamDef &def = defs[std::size_t(index)];
    const std::string label =
        def.name[0] ? "\"" + std::string(def.name) + "\"" : "Parameter " + std::to_string(index);
    if (!std::isfinite(value)) return fail(label + ": " + number(value) + " is not a number.");
    const bool whole = value == std::floor(value);
    auto range = [&](double lo, double hi) {
        return label + ": " + number(value) + " is out of range; enter a value between " + number(lo) + " and " +
               number(hi) + ".";
    };
    switch (def.param_type) {
    case PF_Param_SLIDER:
        if (!whole) return fail(label + " takes whole numbers; " + number(value) + " is not one.");
        if (value < def.u.sd.valid_min || value > def.u.sd.valid_max)
            return fail(range(def.u.sd.valid_min, def.u.sd.valid_max));
        def.u.sd.value = PF_ParamValue(value);
        return true;
    case PF_Param_FLOAT_SLIDER:
        if (value < double(def.u.fs_d.valid_min) || value > double(def.u.fs_d.valid_max))
            return fail(range(def.u.fs_d.valid_min, def.u.fs_d.valid_max));
        def.u.fs_d.value = value;
        return true;
    case PF_Param_POPUP:
        if (!whole || value < 1 || value > def.u.pd.num_choices)
            return fail(label + ": " + number(value) + " is not one of its " + std::to_string(def.u.pd.num_choices) +
                        " choices (1 to " + std::to_string(def.u.pd.num_choices) + ").");
        def.u.pd.value = A_long(value);
        return true;
    case PF_Param_CHECKBOX:
        if (value != 0 && value != 1) return fail(label + ": a checkbox is 0 (off) or 1 (on), not " + number(value) + ".");
        def.u.bd.value = PF_ParamValue(value);
        return true;
    case PF_Param_LAYER:
        return fail(label + " is a layer parameter: choose a layer for it instead of typing a value.");
    default:
        return fail(label + " has no value to set.");
    }
}

void Host::ForceParamValue(int index, double value) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<PF_ParamDef> &defs = impl_->defs;
    if (index < 0 || std::size_t(index) >= defs.size())
        throw std::out_of_range("ForceParamValue: no parameter " + std::to_string(index));
    PF_ParamDef &def = defs[std::size_t(index)];
    switch (def.param_type) {
    case PF_Param_SLIDER: def.u.sd.value = toLong(value); break;
    case PF_Param_FLOAT_SLIDER: def.u.fs_d.value = value; break;
    case PF_Param_POPUP: def.u.pd.value = toLong(value); break;
    case PF_Param_CHECKBOX: def.u.bd.value = toLong(value); break;
    default: break;  // kinds without a value keep none
    }
}

void Host::SetLayerParam(int index, int layer_id) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl &h = *impl_;
    if (index < 0 || std::size_t(index) >= h.defs.size())
        throw std::out_of_range("SetLayerParam: no parameter " + std::to_string(index));
    if (h.defs[std::size_t(index)].param_type != PF_Param_LAYER)
        throw std::invalid_argument("SetLayerParam: parameter " + std::to_string(index) + " is not a layer parameter");
    if (layer_id != 0 && h.layers.count(layer_id) == 0)
        throw std::invalid_argument("SetLayerParam: no layer " + std::to_string(layer_id));
    if (index == 0)
        h.input_layer = layer_id;
    else
        h.layer_ids[std::size_t(index)] = layer_id;
}

std::vector<Host::UiUpdate> Host::ui_updates() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->ui_updates;
}

int Host::AddLayer(Layer layer) {
    for (const Image &img : layer.frames) {
        if (img.width < 0 || img.height < 0 || img.argb.size() != std::size_t(4) * img.width * img.height)
            throw std::invalid_argument("AddLayer: a picture's size does not match its pixels");
    }
    std::lock_guard<std::mutex> lock(impl_->mu);
    const int id = impl_->next_layer_id++;
    impl_->layers[id] = std::move(layer);
    return id;
}

int Host::AddPackedLayer(PackedImage picture) {
    const std::size_t pixels = std::size_t(std::max(0, picture.width)) * std::size_t(std::max(0, picture.height));
    if (picture.width < 0 || picture.height < 0 ||
        (!picture.bytes.empty() && picture.bytes.size() != pixels * std::size_t(PixelSize(picture.depth))))
        throw std::invalid_argument("AddPackedLayer: a picture's size does not match its pixels");
    // The layer's picture carries the size and depth only; its pixels are looked up when they are lent.
    Image sized;
    sized.width = picture.width;
    sized.height = picture.height;
    sized.depth = picture.depth;
    Layer layer;
    layer.frames.push_back(std::move(sized));
    auto packed = std::make_shared<const PackedImage>(std::move(picture));
    std::lock_guard<std::mutex> lock(impl_->mu);
    const int id = impl_->next_layer_id++;
    impl_->layers[id] = std::move(layer);
    impl_->packed_layers[id] = std::move(packed);
    return id;
}

void Host::SetInputLayer(int layer_id) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (layer_id != 0 && impl_->layers.count(layer_id) == 0)
        throw std::invalid_argument("SetInputLayer: no layer " + std::to_string(layer_id));
    impl_->input_layer = layer_id;
    int width = 0, height = 0;
    if (impl_->LayerSizeLocked(layer_id, 0, A_long(impl_->opts.time_scale), 1, &width, &height)) {
        impl_->in.width = width;
        impl_->in.height = height;
        impl_->in.extent_hint = PF_LRect{0, 0, width, height};
    }
}

// ---------------------------------------------------------------- frames

FrameResult Host::RenderFrame(const FrameRequest &request) {
    Impl &h = *impl_;
    FrameResult res;
    if (h.effect_main == nullptr) {
        res.pre_render_err = PF_Err_INVALID_CALLBACK;
        res.message = "RenderFrame: no effect set";
        return res;
    }
    Frame frame;
    frame.downsample = std::max(1, request.downsample);
    frame.time = request.time;
    CallContext ctx;
    ctx.impl = &h;
    ctx.frame = &frame;
    ParamArray params;
    Depth depth;
    {
        std::lock_guard<std::mutex> lock(h.mu);
        if (!h.LayerSizeLocked(h.input_layer, request.time, A_long(h.opts.time_scale), frame.downsample,
                               &frame.width, &frame.height)) {
            res.pre_render_err = PF_Err_BAD_CALLBACK_PARAM;
            res.message = "RenderFrame: no input layer with a picture at this time";
            return res;
        }
        depth = h.opts.project_depth;
        params.FromCopies(h.defs);
        h.live_contexts.insert(&ctx);
    }
    // Whatever happens below, the frame's worlds go and its context stops answering; checkouts the effect did
    // not give back stay in the ledger.
    struct Cleanup {
        Impl &h;
        CallContext &ctx;
        Frame &frame;
        ~Cleanup() {
            std::lock_guard<std::mutex> lock(h.mu);
            h.live_contexts.erase(&ctx);
            frame.phase = Frame::Phase::kDone;
            for (void *data : frame.owned_worlds) h.FreeWorldLocked(data);
            for (ParamCheckout &c : h.param_checkouts) {
                if (c.ctx != &ctx) continue;
                if (c.data) h.FreeWorldLocked(c.data);
                c.ctx = nullptr;
                c.data = nullptr;
            }
        }
    } cleanup{h, ctx, frame};

    const PF_LRect bounds{0, 0, frame.width, frame.height};
    PF_InData in = h.in;
    in.inter = h.tables.inter;
    in.utils = &h.tables.utils;
    in.effect_ref = &ctx;
    in.pica_basicP = &h.tables.basic;
    in.current_time = request.time;
    in.time_step = h.opts.time_step;
    in.local_time_step = h.opts.time_step;
    in.time_scale = h.opts.time_scale;
    in.quality = request.quality;
    in.field = request.field;
    in.downsample_x = PF_RationalScale{1, A_u_long(frame.downsample)};
    in.downsample_y = PF_RationalScale{1, A_u_long(frame.downsample)};
    in.width = frame.width;
    in.height = frame.height;
    in.num_params = A_long(params.copies.size());
    PF_RenderRequest req{};
    req.rect = isEmpty(request.rect) ? bounds : request.rect;
    req.field = request.field;
    req.channel_mask = kAllChannels;
    in.extent_hint = intersect(req.rect, bounds);
    PF_OutData out{};

    PF_PreRenderInput pre_in{};
    pre_in.output_request = req;
    pre_in.bitdepth = bitdepthOf(depth);
    PF_PreRenderOutput pre_out{};
    PF_PreRenderExtra pre{&pre_in, &pre_out, &h.tables.pre_render};
    ctx.cmd = PF_Cmd_SMART_PRE_RENDER;
    res.pre_render_err = h.effect_main(PF_Cmd_SMART_PRE_RENDER, &in, &out, params.pointers.data(), nullptr, &pre);
    res.result_rect = pre_out.result_rect;
    res.max_result_rect = pre_out.max_result_rect;

    if (res.pre_render_err == PF_Err_NONE) {
        {
            std::lock_guard<std::mutex> lock(h.mu);
            frame.phase = Frame::Phase::kRender;
        }
        PF_SmartRenderInput render_in{};
        render_in.output_request = req;
        render_in.bitdepth = bitdepthOf(depth);
        render_in.pre_render_data = pre_out.pre_render_data;
        PF_SmartRenderExtra render{&render_in, &h.tables.smart_render};
        ctx.cmd = PF_Cmd_SMART_RENDER;
        res.render_err = h.effect_main(PF_Cmd_SMART_RENDER, &in, &out, params.pointers.data(), nullptr, &render);
        PF_EffectWorld *output = nullptr;
        {
            std::lock_guard<std::mutex> lock(h.mu);
            output = frame.output;
        }
        // An output never checked out is the host's transparent black.
        if (request.packed_output) {
            if (output) {
                res.packed_output = PackWorld(*output, depth);
            } else {
                res.packed_output.width = frame.width;
                res.packed_output.height = frame.height;
                res.packed_output.depth = depth;
                res.packed_output.bytes.assign(
                    std::size_t(frame.width) * std::size_t(frame.height) * std::size_t(PixelSize(depth)), 0);
            }
        } else {
            res.output = output ? ReadPixels(*output, depth) : Image(frame.width, frame.height, depth);
        }
    }
    ctx.cmd = -1;
    if (pre_out.delete_pre_render_data_func && pre_out.pre_render_data)
        pre_out.delete_pre_render_data_func(pre_out.pre_render_data);
    out.return_msg[PF_MAX_EFFECT_MSG_LEN] = '\0';
    res.message = out.return_msg;
    return res;
}

// ---------------------------------------------------------------- worlds for direct tests

PF_EffectWorld *Host::MakeWorld(const Image &image) {
    if (image.argb.size() != std::size_t(4) * image.width * image.height)
        throw std::invalid_argument("MakeWorld: the picture's size does not match its pixels");
    std::lock_guard<std::mutex> lock(impl_->mu);
    WorldRec *rec = impl_->WorldFromImageLocked(image);
    if (rec == nullptr)
        throw std::invalid_argument("MakeWorld: cannot make a " + std::to_string(image.width) + "x" +
                                    std::to_string(image.height) + " world");
    return &rec->desc;
}

PF_EffectWorld *Host::MakeWorld(int width, int height, Depth depth) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    PF_Err err = PF_Err_NONE;
    WorldRec *rec = impl_->NewWorldLocked(width, height, depth, WorldOwner::kHost, WorldFill::kZero, &err);
    if (rec == nullptr)
        throw std::invalid_argument("MakeWorld: cannot make a " + std::to_string(width) + "x" +
                                    std::to_string(height) + " world");
    return &rec->desc;
}

void Host::FreeWorld(PF_EffectWorld *world) {
    if (world == nullptr) return;
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->worlds.find(world->data);
    if (it == impl_->worlds.end() || it->second->owner != WorldOwner::kHost)
        throw std::invalid_argument("FreeWorld: not a world made by MakeWorld");
    impl_->FreeWorldLocked(world->data);
}

Depth Host::DepthOf(const PF_EffectWorld &world) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Depth d = Depth::k8;
    if (!impl_->DepthOfLocked(world.data, &d)) throw std::invalid_argument("DepthOf: not a world of this host");
    return d;
}

Image Host::ReadWorld(const PF_EffectWorld &world) const { return ReadPixels(world, DepthOf(world)); }
Image Host::ReadWorld(const PF_EffectWorld &world, Depth depth) const { return ReadPixels(world, depth); }
void Host::WriteWorld(PF_EffectWorld &world, const Image &image) { WritePixels(world, DepthOf(world), image); }

// ---------------------------------------------------------------- ledger, call log, faults

Ledger Host::ledger() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Ledger l;
    l.suites = int(impl_->suites_held.size());
    l.suite_names.assign(impl_->suites_held.begin(), impl_->suites_held.end());
    l.handles = int(impl_->handles.size());
    for (const auto &h : impl_->handles) l.locked_handles += h.second->locks > 0 ? 1 : 0;
    for (const auto &w : impl_->worlds) l.worlds += w.second->owner != WorldOwner::kHost ? 1 : 0;
    l.layer_checkouts = impl_->layer_checkouts;
    l.param_checkouts = int(impl_->param_checkouts.size());
    l.damaged_worlds = impl_->damaged_worlds;
    return l;
}

std::vector<CallRecord> Host::calls() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->calls;
}

void Host::ClearCalls() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->calls.clear();
}

void Host::AddFault(const Fault &fault) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->faults.push_back(Impl::FaultState{fault, 0, false});
}

void Host::SetSuiteMissing(const std::string &suite_name, bool missing) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (missing)
        impl_->missing_suites.insert(suite_name);
    else
        impl_->missing_suites.erase(suite_name);
}

void Host::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->faults.clear();
    impl_->missing_suites.clear();
}

}  // namespace vbhost
