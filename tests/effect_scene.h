// Scaffolding shared by the tests that drive whole frames through EffectMain in the stand-in host: a hook in
// front of EffectMain, and a scene of input, depth-map and texture layers with the effect's parameters.
#pragma once

#include "host/host.h"
#include "shell/entry.h"
#include "shell/param_index.h"
#include "test_pictures.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace effect_scene {

using vbhost::Depth;
using vbhost::FrameRequest;
using vbhost::FrameResult;
using vbhost::Host;
using vbhost::Image;
using vbhost::Layer;

using test_pictures::FirstDifference;
using test_pictures::InputPicture;
using test_pictures::Picture;

// ---- a hook in front of EffectMain, to watch or bend what passes between host and effect ----

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

// Sets the hook for one scope and clears it when the scope ends, whatever happens in it.
struct HookScope {
    explicit HookScope(std::function<void(PF_Cmd, PF_InData *, void *)> f) { BeforeHook() = std::move(f); }
    ~HookScope() { BeforeHook() = nullptr; }
    HookScope(const HookScope &) = delete;
    HookScope &operator=(const HookScope &) = delete;
};

// ---- a scene: input, depth-map and texture layers, and the effect's parameters ----

// Whether a scene keeps its own copies of the pictures it hands the host, for tests that compare frames with
// them; otherwise the pictures are moved into the layers.
enum class Pictures { kHandOver, kKeepCopies };

// Each test file derives its own scene with its own sizes and default pictures.
struct EffectScene {
    std::unique_ptr<Host> host;
    Image input, depth, texture;  // empty unless the scene keeps copies
    int input_id = 0, depth_id = 0, texture_id = 0;

    EffectScene(Depth project, int row_padding, Image in, Image dm, Image tex, Pictures keep) {
        vbhost::HostOptions options;
        options.project_depth = project;
        options.row_padding_bytes = row_padding;
        host = std::make_unique<Host>(options);
        host->SetEffect(&HookedMain, &PluginDataEntryFunction);
        EXPECT_EQ(host->Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
        EXPECT_EQ(host->Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
        if (keep == Pictures::kKeepCopies) {
            input = std::move(in);
            depth = std::move(dm);
            texture = std::move(tex);
            input_id = host->AddLayer(Layer{{input}});
            depth_id = host->AddLayer(Layer{{depth}});
            texture_id = host->AddLayer(Layer{{texture}});
        } else {
            input_id = host->AddLayer(Layer{{std::move(in)}});
            depth_id = host->AddLayer(Layer{{std::move(dm)}});
            texture_id = host->AddLayer(Layer{{std::move(tex)}});
        }
        host->SetInputLayer(input_id);
        host->SetLayerParam(PARAM_DEPTH_LAYER, depth_id);
        host->SetLayerParam(PARAM_TEXTURE_LAYER, texture_id);
        // The texture pattern with cropping is deterministic, so frames can be compared exactly.
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

}  // namespace effect_scene
