// Shared fixtures of the reliability, threading and heap tests: pictures, a scene in the stand-in host, and a
// hook in front of EffectMain that can bend what the host hands the effect.
#pragma once

#include "host/host.h"
#include "shell/entry.h"
#include "shell/param_index.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace reliability {

using vbhost::Depth;
using vbhost::FrameRequest;
using vbhost::FrameResult;
using vbhost::Host;
using vbhost::Image;
using vbhost::Layer;

// An 8-bit picture from a function giving alpha, red, green, blue at (x, y).
inline Image Picture(int w, int h, const std::function<std::array<int, 4>(int, int)> &argb) {
    Image img(w, h, Depth::k8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto v = argb(x, y);
            for (int c = 0; c < 4; ++c) img.at(x, y)[c] = float(v[c]);
        }
    return img;
}

inline Image Grey(int w, int h, int v) {
    return Picture(w, h, [v](int, int) { return std::array<int, 4>{255, v, v, v}; });
}

inline Image InputPicture(int w, int h) {
    return Picture(w, h, [](int x, int y) { return std::array<int, 4>{255, (x * 3) % 256, (y * 5) % 256, (x + y) % 256}; });
}

// A raised block on a dim ground: the stereogram has steps in every row that crosses it.
inline Image BlockDepth(int w, int h) {
    return Picture(w, h, [w, h](int x, int y) {
        const int v = (x > w / 4 && x < w / 2 && y > h / 4 && y < 3 * h / 4) ? 210 : 40;
        return std::array<int, 4>{255, v, v, v};
    });
}

// Every column and row distinguishable, opaque.
inline Image TexturePicture(int w, int h) {
    return Picture(w, h, [](int x, int y) {
        return std::array<int, 4>{255, (x * 11 + 5) % 256, (y * 17 + 9) % 256, (x * y * 5 + 30) % 256};
    });
}

// The first differing channel, or "" when the pictures are equal.
inline std::string FirstDifference(const Image &a, const Image &b) {
    if (a.width != b.width || a.height != b.height) {
        std::ostringstream s;
        s << "sizes " << a.width << "x" << a.height << " vs " << b.width << "x" << b.height;
        return s.str();
    }
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < 4; ++c)
                if (!(a.at(x, y)[c] == b.at(x, y)[c])) {
                    std::ostringstream s;
                    s << "pixel (" << x << "," << y << ") channel " << c << ": " << a.at(x, y)[c] << " vs "
                      << b.at(x, y)[c];
                    return s.str();
                }
    return "";
}

// ---- a hook in front of EffectMain ----

// Runs before each command on the calling thread, with the command, its in-data and extra record; may change
// them (the host passes its per-frame copies).
// (Function-local rather than inline variables: mingw-w64 cannot link an inline thread_local that needs
// construction when two files include it.)
inline std::function<void(PF_Cmd, PF_InData *, void *)> &BeforeHook() {
    static thread_local std::function<void(PF_Cmd, PF_InData *, void *)> hook;
    return hook;
}

inline PF_Err HookedMain(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                         PF_LayerDef *output, void *extra) {
    if (BeforeHook()) BeforeHook()(cmd, in_data, extra);
    return EffectMain(cmd, in_data, out_data, params, output, extra);
}

// Sets the hook for one scope, whatever happens in it.
struct HookScope {
    explicit HookScope(std::function<void(PF_Cmd, PF_InData *, void *)> f) { BeforeHook() = std::move(f); }
    ~HookScope() { BeforeHook() = nullptr; }
    HookScope(const HookScope &) = delete;
    HookScope &operator=(const HookScope &) = delete;
};

// ---- bending the layer parameters the pre-render checks out ----

// Called after the host's checkout of a layer parameter succeeded; may rewrite the delivered description or the
// pixels it points at. The original description is put back before the effect checks the parameter in, so the
// host still recognises its checkout.
struct BendState {
    std::function<void(PF_ParamIndex, PF_EffectWorld *)> bend;
    PF_InteractCallbacks host_inter{};
    std::map<const void *, PF_EffectWorld> unbent;  // bent pixel address -> host's description
};
inline BendState &Bending() {
    static thread_local BendState state;
    return state;
}

inline PF_Err BendingCheckout(PF_ProgPtr ref, PF_ParamIndex index, A_long t, A_long step, A_u_long scale,
                              PF_ParamDef *def) {
    BendState &b = Bending();
    const PF_Err err = b.host_inter.checkout_param(ref, index, t, step, scale, def);
    if (err == PF_Err_NONE && def->param_type == PF_Param_LAYER && def->u.ld.data != nullptr && b.bend) {
        const PF_EffectWorld original = def->u.ld;
        b.bend(index, &def->u.ld);
        if (def->u.ld.data != original.data) b.unbent[def->u.ld.data] = original;
    }
    return err;
}

inline PF_Err UnbendingCheckin(PF_ProgPtr ref, PF_ParamDef *def) {
    BendState &b = Bending();
    if (def->param_type == PF_Param_LAYER) {
        auto it = b.unbent.find(def->u.ld.data);
        if (it != b.unbent.end()) {
            def->u.ld = it->second;
            b.unbent.erase(it);
        }
    }
    return b.host_inter.checkin_param(ref, def);
}

// Installs the bending callbacks in every command's in-data for one scope.
struct BendScope {
    explicit BendScope(std::function<void(PF_ParamIndex, PF_EffectWorld *)> bend)
        : hook_([](PF_Cmd, PF_InData *in_data, void *) {
              // The host may hand the same in-data to the next command of the frame: keep its own callbacks.
              if (in_data->inter.checkout_param != &BendingCheckout) Bending().host_inter = in_data->inter;
              in_data->inter.checkout_param = &BendingCheckout;
              in_data->inter.checkin_param = &UnbendingCheckin;
          }) {
        Bending().bend = std::move(bend);
    }
    ~BendScope() {
        Bending().bend = nullptr;
        Bending().unbent.clear();
    }
    HookScope hook_;
};

// ---- a scene: input, depth-map and texture layers, and the effect's parameters ----

struct Scene {
    static constexpr int kWidth = 48;
    static constexpr int kHeight = 16;

    std::unique_ptr<Host> host;
    int input_id = 0, depth_id = 0, texture_id = 0;

    explicit Scene(Depth project = Depth::k8, int row_padding = 20, Image depth = BlockDepth(kWidth, kHeight),
                   Image texture = TexturePicture(12, 8), Image input = InputPicture(kWidth, kHeight)) {
        vbhost::HostOptions options;
        options.project_depth = project;
        options.row_padding_bytes = row_padding;
        host = std::make_unique<Host>(options);
        host->SetEffect(&HookedMain, &PluginDataEntryFunction);
        EXPECT_EQ(host->Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
        EXPECT_EQ(host->Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
        input_id = host->AddLayer(Layer{{std::move(input)}});
        depth_id = host->AddLayer(Layer{{std::move(depth)}});
        texture_id = host->AddLayer(Layer{{std::move(texture)}});
        host->SetInputLayer(input_id);
        host->SetLayerParam(PARAM_DEPTH_LAYER, depth_id);
        host->SetLayerParam(PARAM_TEXTURE_LAYER, texture_id);
        // Texture with cropping is deterministic, so frames can be compared exactly.
        Set(PARAM_PATTERN, PATTERN_TEXTURE);
        Set(PARAM_TEXTURE_TRANSFORM, TEXTURE_CROPPING);
        Set(PARAM_PERIOD, 20);
        Set(PARAM_OVERSAMPLING, 2);
    }

    void Set(int index, double value) {
        std::string error;
        EXPECT_TRUE(host->SetParamValue(index, value, &error)) << error;
    }

    void PostProcessing(bool on, double blur, double sharpen) {
        Set(PARAM_POST_ENABLE, on ? 1 : 0);
        Set(PARAM_BLUR, blur);
        Set(PARAM_SHARPEN, sharpen);
    }

    FrameResult Render(FrameRequest request = {}) { return host->RenderFrame(request); }

    // Renders and expects success with nothing of the plug-in's left with the host.
    Image RenderOk(const std::string &what, FrameRequest request = {}) {
        FrameResult r = Render(request);
        EXPECT_EQ(r.pre_render_err, PF_Err_NONE) << what;
        EXPECT_EQ(r.render_err, PF_Err_NONE) << what;
        EXPECT_TRUE(host->ledger().empty()) << what << ": " << host->ledger().describe();
        return r.output;
    }

    int Count(const std::string &op) const {
        int n = 0;
        for (const auto &c : host->calls()) n += c.op == op;
        return n;
    }
};

}  // namespace reliability
