// Fixtures of the reliability, threading and heap tests: pictures, their scene in the stand-in host, and
// bending of the layers the host hands the effect.
#pragma once

#include "effect_scene.h"

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace reliability {

using effect_scene::Depth;
using effect_scene::EffectScene;
using effect_scene::FirstDifference;
using effect_scene::FrameRequest;
using effect_scene::FrameResult;
using effect_scene::HookScope;
using effect_scene::Host;
using effect_scene::Image;
using effect_scene::InputPicture;
using effect_scene::Layer;
using effect_scene::Picture;
using effect_scene::Pictures;

inline Image Grey(int w, int h, int v) {
    return Picture(w, h, [v](int, int) { return std::array<int, 4>{255, v, v, v}; });
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

// ---- the scene: a small frame, row padding of the caller's choice ----

struct Scene : EffectScene {
    static constexpr int kWidth = 48;
    static constexpr int kHeight = 16;

    explicit Scene(Depth project = Depth::k8, int row_padding = 20, Image depth = BlockDepth(kWidth, kHeight),
                   Image texture = TexturePicture(12, 8), Image input = InputPicture(kWidth, kHeight))
        : EffectScene(project, row_padding, std::move(input), std::move(depth), std::move(texture),
                      Pictures::kHandOver) {}
};

}  // namespace reliability
