// Speed of the stand-in host's own frame loop: a whole RenderFrame with an effect that only copies its input to
// its output after checking out a second layer, so that what is timed is the host making, lending, checking and
// reading back worlds, not the stereogram.
#include "bench/bench_scenes.h"
#include "host/host.h"

#include <benchmark/benchmark.h>

#include <utility>

namespace {

using vbhost::Depth;
using vbhost::Host;

constexpr int kOtherLayer = 1;

PF_Err CopyEffect(PF_Cmd cmd, PF_InData *in_data, PF_OutData *, PF_ParamDef *[], PF_LayerDef *, void *extra) {
    switch (cmd) {
    case PF_Cmd_PARAMS_SETUP: {
        PF_ParamDef def{};
        def.param_type = PF_Param_LAYER;
        def.uu.id = kOtherLayer;
        return PF_ADD_PARAM(in_data, -1, &def);
    }
    case PF_Cmd_SMART_PRE_RENDER: {
        auto *pre = static_cast<PF_PreRenderExtra *>(extra);
        PF_CheckoutResult result{};
        const PF_Err err = pre->cb->checkout_layer(in_data->effect_ref, 0, 0, &pre->input->output_request,
                                                   in_data->current_time, in_data->time_step, in_data->time_scale,
                                                   &result);
        pre->output->result_rect = result.result_rect;
        pre->output->max_result_rect = result.max_result_rect;
        return err;
    }
    case PF_Cmd_SMART_RENDER: {
        auto *render = static_cast<PF_SmartRenderExtra *>(extra);
        PF_EffectWorld *input = nullptr, *output = nullptr;
        PF_ParamDef other{};
        PF_Err err = PF_CHECKOUT_PARAM(in_data, kOtherLayer, in_data->current_time, in_data->time_step,
                                       in_data->time_scale, &other);
        if (!err) err = render->cb->checkout_layer_pixels(in_data->effect_ref, 0, &input);
        if (!err) err = render->cb->checkout_output(in_data->effect_ref, &output);
        if (!err) err = PF_COPY(input, output, nullptr, nullptr);
        if (input) {
            const PF_Err in = render->cb->checkin_layer_pixels(in_data->effect_ref, 0);
            if (!err) err = in;
        }
        if (other.param_type == PF_Param_LAYER) {
            const PF_Err in = PF_CHECKIN_PARAM(in_data, &other);
            if (!err) err = in;
        }
        return err;
    }
    default: return PF_Err_NONE;
    }
}

Depth DepthOfBits(int64_t bits) { return bits == 32 ? Depth::k32 : bits == 16 ? Depth::k16 : Depth::k8; }

// One host rendering the same frame again and again, as a preview does while a parameter moves: the layers are
// the same pictures every time.
void BM_HostFrameLoop(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    vbhost::HostOptions options;
    options.project_depth = DepthOfBits(state.range(2));
    Host host(options);
    host.SetEffect(&CopyEffect);
    if (host.Send(PF_Cmd_PARAMS_SETUP) != PF_Err_NONE) {
        state.SkipWithError("parameter setup failed");
        return;
    }
    host.SetInputLayer(host.AddLayer({{vbbench::TextureScene(w, h)}}));
    host.SetLayerParam(kOtherLayer, host.AddLayer({{vbbench::DepthScene(w, h)}}));
    vbhost::FrameRequest request;
    request.downsample = int(state.range(3));
    for (auto _ : state) {
        const vbhost::FrameResult r = host.RenderFrame(request);
        if (r.pre_render_err != PF_Err_NONE || r.render_err != PF_Err_NONE || !host.ledger().empty()) {
            state.SkipWithError("the frame failed or left something held");
            break;
        }
        benchmark::DoNotOptimize(r.output.argb.data());
    }
}

// A new host for every frame, as `vellumbra render` makes one per frame: nothing is kept between frames. The
// copies of the pictures the host is handed are made outside the timing, as the renderer reads them from files.
void BM_HostFreshFrame(benchmark::State &state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const vbhost::Image input = vbbench::TextureScene(w, h);
    const vbhost::Image depth = vbbench::DepthScene(w, h);
    for (auto _ : state) {
        state.PauseTiming();
        vbhost::Layer input_layer{{input}}, depth_layer{{depth}};
        state.ResumeTiming();
        vbhost::HostOptions options;
        options.project_depth = DepthOfBits(state.range(2));
        Host host(options);
        host.SetEffect(&CopyEffect);
        host.Send(PF_Cmd_PARAMS_SETUP);
        host.SetInputLayer(host.AddLayer(std::move(input_layer)));
        host.SetLayerParam(kOtherLayer, host.AddLayer(std::move(depth_layer)));
        vbhost::FrameRequest request;
        request.downsample = int(state.range(3));
        const vbhost::FrameResult r = host.RenderFrame(request);
        if (r.pre_render_err != PF_Err_NONE || r.render_err != PF_Err_NONE || !host.ledger().empty()) {
            state.SkipWithError("the frame failed or left something held");
            break;
        }
        benchmark::DoNotOptimize(r.output.argb.data());
    }
}

void HostArgs(benchmark::internal::Benchmark *b) {
    b->ArgNames({"w", "h", "bits", "downsample"});
    for (int64_t bits : {8, 32})
        for (int64_t downsample : {1, 2}) b->Args({1920, 1080, bits, downsample});
}

BENCHMARK(BM_HostFrameLoop)->Apply(HostArgs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostFreshFrame)->Apply(HostArgs)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) { return vbbench::RunBenchmarks(argc, argv); }
