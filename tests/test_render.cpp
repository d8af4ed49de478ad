// Whole frames through EffectMain in the stand-in host: period scaling, result rectangles, pass-through,
// post-processing, bit depths, every failing host call, and frames rendered on several threads at once.
#include "effect_scene.h"

#include "host/host.h"
#include "host/image_ops.h"
#include "render/pixels.h"
#include "render/post_processing.h"
#include "render/smart_render.h"
#include "shell/entry.h"
#include "shell/param_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace effect_scene;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- pictures ----

// Grey depth with a raised block and a ramp, so the stereogram has steps and slopes.
Image DepthPicture(int w, int h) {
    return Picture(w, h, [w, h](int x, int y) {
        int v = 40;
        if (x > w / 4 && x < w / 2 && y > h / 4 && y < 3 * h / 4) v = 210;
        if (x >= w / 2 + 4) v = 60 + (x - w / 2) * 4 % 150;
        return std::array<int, 4>{255, v, v, v};
    });
}

// Every column and row distinguishable, with alpha varying so that its treatment shows.
Image TexturePicture(int w, int h) {
    return Picture(w, h, [](int x, int y) {
        return std::array<int, 4>{120 + (x * 7 + y * 3) % 136, (x * 11) % 256, (y * 17) % 256, (x * y * 5 + 30) % 256};
    });
}

// Each pixel repeated in a 2 x 2 block, so the host's half-resolution layer is the original exactly.
Image Doubled(const Image &src) {
    Image out(src.width * 2, src.height * 2, src.depth);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int c = 0; c < 4; ++c) out.at(x, y)[c] = src.at(x / 2, y / 2)[c];
    return out;
}

// A deep output read back through the effect's narrowing rules.
Image NarrowTo8(const Image &img) {
    Image out(img.width, img.height, Depth::k8);
    for (size_t i = 0; i < img.argb.size(); ++i) {
        const float v = img.argb[i];
        if (img.depth == Depth::k8) out.argb[i] = v;
        else if (img.depth == Depth::k16) out.argb[i] = Narrow16To8(static_cast<A_u_short>(v));
        else out.argb[i] = NarrowFloatTo8(v);
    }
    return out;
}

// What an 8-bit picture becomes after being written as 16 bits and read back: 1..254 one lower.
Image SixteenBitRoundTrip(const Image &img) {
    Image out = img;
    for (float &v : out.argb)
        if (v >= 1.0f && v <= 254.0f) v -= 1.0f;
    return out;
}

// ---- the host's own operations as oracles for post-processing ----

Image HostBlur(Host &host, const Image &img8, double radius) {
    PF_EffectWorld *w = host.MakeWorld(img8);
    vbhost::FastBlur8(*w, radius);
    Image out = host.ReadWorld(*w);
    host.FreeWorld(w);
    return out;
}

A_FpLong StdCeil(A_FpLong x) { return std::ceil(x); }

Image HostSharpen(Host &host, const Image &img8, double amount, const PF_LRect &area) {
    A_long kernel[9];
    ComputeSharpenKernel(amount, &StdCeil, kernel);
    PF_EffectWorld *src = host.MakeWorld(img8);
    PF_EffectWorld *dst = host.MakeWorld(img8);
    EXPECT_EQ(vbhost::Convolve(*src, Depth::k8, area, 3, kernel, kernel, kernel, kernel, *dst), PF_Err_NONE);
    Image out = host.ReadWorld(*dst);
    host.FreeWorld(src);
    host.FreeWorld(dst);
    return out;
}

// What the host handed the effect, kept by hooks that then stand between the two.
thread_local PF_PreRenderCallbacks t_host_pre;
thread_local PF_SmartRenderCallbacks t_host_smart;
thread_local PF_InteractCallbacks t_host_inter;

// ---- the scene: a frame large enough for post-processing, its pictures kept for comparisons ----

struct Scene : EffectScene {
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 40;

    explicit Scene(Depth project = Depth::k8, Image in = InputPicture(kWidth, kHeight),
                   Image dm = DepthPicture(kWidth, kHeight), Image tex = TexturePicture(24, 16))
        : EffectScene(project, vbhost::HostOptions().row_padding_bytes, std::move(in), std::move(dm),
                      std::move(tex), Pictures::kKeepCopies) {}
};

// ---- rectangles ----

std::string Str(const PF_LRect &r) {
    std::ostringstream s;
    s << "{" << r.left << "," << r.top << "," << r.right << "," << r.bottom << "}";
    return s.str();
}

TEST(Rectangles, UnionAndEmptiness) {
    struct Case {
        const char *name;
        PF_LRect src, dst, expected;
    } cases[] = {
        {"empty dst takes src", {2, 3, 10, 12}, {0, 0, 0, 0}, {2, 3, 10, 12}},
        {"empty dst takes an empty src as it is", {5, 5, 5, 9}, {1, 1, 0, 4}, {5, 5, 5, 9}},
        {"inverted dst counts as empty", {0, 0, 4, 4}, {9, 9, 3, 3}, {0, 0, 4, 4}},
        {"empty src leaves dst", {7, 7, 7, 20}, {0, 0, 8, 8}, {0, 0, 8, 8}},
        {"src with zero height leaves dst", {-5, 3, 40, 3}, {0, 0, 8, 8}, {0, 0, 8, 8}},
        {"overlap widens to the bounding box", {4, -2, 12, 6}, {0, 0, 8, 8}, {0, -2, 12, 8}},
        {"disjoint widens to the bounding box", {20, 30, 25, 35}, {-3, -4, 1, 1}, {-3, -4, 25, 35}},
        {"src inside dst changes nothing", {2, 2, 3, 3}, {0, 0, 8, 8}, {0, 0, 8, 8}},
    };
    for (const auto &c : cases) {
        PF_LRect dst = c.dst;
        const PF_LRect src = c.src;
        UnionLRect(&src, &dst);
        EXPECT_EQ(Str(dst), Str(c.expected)) << c.name;
        EXPECT_EQ(Str(src), Str(c.src)) << c.name << ": src must not change";
    }
    struct EmptyCase {
        PF_LRect r;
        bool empty;
    } empties[] = {{{0, 0, 1, 1}, false}, {{0, 0, 0, 1}, true}, {{0, 0, 1, 0}, true},
                   {{3, 0, 2, 5}, true},  {{0, 5, 2, 4}, true}, {{-4, -4, -3, -3}, false}};
    for (const auto &e : empties) EXPECT_EQ(IsEmptyRect(&e.r), e.empty) << Str(e.r);
}

// The request the effect hands the input-layer checkout, seen from the host's side.
thread_local PF_RenderRequest t_seen_request;
thread_local int t_seen_checkouts;
PF_Err RecordingCheckoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest *req,
                              A_long time, A_long step, A_u_long scale, PF_CheckoutResult *result) {
    t_seen_request = *req;
    ++t_seen_checkouts;
    return t_host_pre.checkout_layer(ref, index, id, req, time, step, scale, result);
}

TEST(Rectangles, PartialRequestReachesCheckoutUnchangedAndResultsUnion) {
    struct Case {
        const char *name;
        PF_LRect request, host_result_on_entry, expected_result;
    } cases[] = {
        {"host rectangles empty", {8, 4, 40, 30}, {0, 0, 0, 0}, {8, 4, 40, 30}},
        {"host rectangle widened", {8, 4, 40, 30}, {0, 0, 10, 10}, {0, 0, 40, 30}},
        {"request outside the layer leaves the host's rectangle", {100, 100, 120, 110}, {1, 2, 3, 4}, {1, 2, 3, 4}},
    };
    for (const auto &c : cases) {
        Scene scene;
        PF_RenderRequest given{};
        t_seen_checkouts = 0;
        HookScope hook([&](PF_Cmd cmd, PF_InData *, void *extra) {
            if (cmd != PF_Cmd_SMART_PRE_RENDER) return;
            auto *x = static_cast<PF_PreRenderExtra *>(extra);
            x->input->output_request.preserve_rgb_of_zero_alpha = 1;
            x->input->output_request.channel_mask = 0x5;
            given = x->input->output_request;
            x->output->result_rect = c.host_result_on_entry;
            t_host_pre = *x->cb;
            static thread_local PF_PreRenderCallbacks recording{&RecordingCheckoutLayer};
            x->cb = &recording;
        });
        FrameRequest request;
        request.rect = c.request;
        request.field = PF_Field_UPPER;
        const FrameResult r = scene.Render(request);
        EXPECT_EQ(r.pre_render_err, PF_Err_NONE) << c.name;
        ASSERT_EQ(t_seen_checkouts, 1) << c.name;
        EXPECT_EQ(Str(t_seen_request.rect), Str(given.rect)) << c.name;
        EXPECT_EQ(t_seen_request.field, PF_Field_UPPER) << c.name;
        EXPECT_EQ(t_seen_request.channel_mask, 0x5) << c.name;
        EXPECT_EQ(t_seen_request.preserve_rgb_of_zero_alpha, 1) << c.name;
        EXPECT_EQ(Str(r.result_rect), Str(c.expected_result)) << c.name;
        EXPECT_TRUE(scene.host->ledger().empty()) << c.name << ": " << scene.host->ledger().describe();
    }
}

// ---- period ----

TEST(Period, ScaledToRenderResolutionAndHeldToItsRange) {
    struct Case {
        double period;
        A_long num;
        A_u_long den;
        double expected;
    } cases[] = {
        {25.9, 1, 1, 25},   {100, 1, 2, 50},    {15, 1, 2, 10},     {10, 1, 1, 10},    {400, 1, 4, 100},
        {300, 1, 3, 100},   {33.3, 2, 3, 22},   {kNaN, 1, 1, 10},   {kInf, 1, 1, 400}, {-kInf, 1, 1, 10},
        {1e300, 1, 2, 200}, {-5, 1, 1, 10},     {0, 1, 1, 10},      {450, 1, 1, 400},
        // A downsample factor that is no factor (zero denominator, non-positive numerator) counts as 1.
        {100, 1, 0, 100},   {100, 0, 1, 100},   {100, -1, 2, 100},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ScalePeriodToRender(c.period, PF_RationalScale{c.num, c.den}), c.expected)
            << c.period << " at " << c.num << "/" << c.den;
    }
}

TEST(Period, FramesFollowTheScaledPeriod) {
    // Wide enough for several repetitions of the largest period used.
    const Image small_input = InputPicture(180, 16), small_depth = DepthPicture(180, 16);
    const Image small_texture = TexturePicture(64, 12);
    auto render = [&](double period, int downsample) {
        const bool half = downsample == 2;
        Scene scene(Depth::k8, half ? Doubled(small_input) : small_input, half ? Doubled(small_depth) : small_depth,
                    half ? Doubled(small_texture) : small_texture);
        scene.Set(PARAM_PERIOD, period);
        FrameRequest request;
        request.downsample = downsample;
        return scene.RenderOk("period " + std::to_string(period), request);
    };
    struct Case {
        const char *name;
        double period;
        int downsample;
        double same_as, differs_from;  // full-resolution periods
    } cases[] = {
        {"25.9 truncates to 25", 25.9, 1, 25, 26},
        {"100 at half resolution is 50", 100, 2, 50, 51},
        {"15 at half resolution is raised to 10", 15, 2, 10, 11},
    };
    for (const auto &c : cases) {
        const Image frame = render(c.period, c.downsample);
        ASSERT_NE(FirstDifference(frame, Image(frame.width, frame.height, Depth::k8)), "") << c.name << ": drawn";
        EXPECT_EQ(FirstDifference(frame, render(c.same_as, 1)), "") << c.name;
        EXPECT_NE(FirstDifference(frame, render(c.differs_from, 1)), "") << c.name << ": the period must show";
    }
}

// ---- pass-through ----

// Bends the world description of a layer parameter as the host hands it out, and unbends it on its way back
// so that the host still knows its own checkout.
thread_local std::function<void(PF_ParamIndex, PF_ParamDef *)> t_bend_param;
thread_local std::map<A_long, PF_LayerDef> t_unbent;
PF_Err BendingCheckoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long t, A_long step, A_u_long scale,
                            PF_ParamDef *def) {
    const PF_Err err = t_host_inter.checkout_param(ref, index, t, step, scale, def);
    if (err == PF_Err_NONE && t_bend_param && def->param_type == PF_Param_LAYER) {
        t_unbent[def->uu.id] = def->u.ld;
        t_bend_param(index, def);
    }
    return err;
}
PF_Err UnbendingCheckinParam(PF_ProgPtr ref, PF_ParamDef *def) {
    PF_ParamDef back = *def;
    auto it = t_unbent.find(def->uu.id);
    if (def->param_type == PF_Param_LAYER && it != t_unbent.end()) back.u.ld = it->second;
    return t_host_inter.checkin_param(ref, &back);
}

TEST(PassThrough, UnusableSourcesGiveTheInputAndNoPostProcessing) {
    struct Case {
        const char *name;
        Depth depth;
        std::function<void(Scene &)> setup;
        std::function<void(PF_ParamIndex, PF_ParamDef *)> bend;
    } cases[] = {
        {"no depth layer", Depth::k8, [](Scene &s) { s.host->SetLayerParam(PARAM_DEPTH_LAYER, 0); }, nullptr},
        {"no depth layer, 16-bit", Depth::k16, [](Scene &s) { s.host->SetLayerParam(PARAM_DEPTH_LAYER, 0); },
         nullptr},
        {"no depth layer, float", Depth::k32, [](Scene &s) { s.host->SetLayerParam(PARAM_DEPTH_LAYER, 0); },
         nullptr},
        {"depth of zero width", Depth::k8, nullptr,
         [](PF_ParamIndex i, PF_ParamDef *d) { if (i == PARAM_DEPTH_LAYER) d->u.ld.width = 0; }},
        {"depth of zero height", Depth::k8, nullptr,
         [](PF_ParamIndex i, PF_ParamDef *d) { if (i == PARAM_DEPTH_LAYER) d->u.ld.height = 0; }},
        {"depth without pixels", Depth::k8, nullptr,
         [](PF_ParamIndex i, PF_ParamDef *d) { if (i == PARAM_DEPTH_LAYER) d->u.ld.data = nullptr; }},
        {"random dots without depth", Depth::k8,
         [](Scene &s) {
             s.Set(PARAM_PATTERN, PATTERN_RANDOM_DOTS);
             s.host->SetLayerParam(PARAM_DEPTH_LAYER, 0);
         },
         nullptr},
        {"texture pattern without texture layer", Depth::k8,
         [](Scene &s) { s.host->SetLayerParam(PARAM_TEXTURE_LAYER, 0); }, nullptr},
        {"texture of negative width", Depth::k8, nullptr,
         [](PF_ParamIndex i, PF_ParamDef *d) { if (i == PARAM_TEXTURE_LAYER) d->u.ld.width = -3; }},
        {"unknown pattern", Depth::k8, [](Scene &s) { s.host->ForceParamValue(PARAM_PATTERN, 7); }, nullptr},
    };
    for (const auto &c : cases) {
        Scene scene(c.depth);
        scene.PostProcessing(true, 3, 3);
        if (c.setup) c.setup(scene);
        t_bend_param = c.bend;
        t_unbent.clear();
        HookScope hook([](PF_Cmd cmd, PF_InData *in_data, void *) {
            if (in_data->inter.checkout_param == &BendingCheckoutParam) return;
            t_host_inter = in_data->inter;
            in_data->inter.checkout_param = &BendingCheckoutParam;
            in_data->inter.checkin_param = &UnbendingCheckinParam;
            (void)cmd;
        });
        const Image out = scene.RenderOk(c.name);
        t_bend_param = nullptr;
        EXPECT_EQ(FirstDifference(out, vbhost::ConvertImage(scene.input, c.depth)), "") << c.name;
        EXPECT_EQ(scene.Count("AcquireSuite:AEGP World Suite"), 0) << c.name;
        EXPECT_EQ(scene.Count("convolve"), 0) << c.name;
        EXPECT_EQ(scene.Count("checkin_layer_pixels"), 1) << c.name;
    }
}

// ---- post-processing ----

TEST(PostProcessing, OffOrAtZeroLeavesTheStereogram) {
    Scene scene;
    scene.PostProcessing(false, 0, 0);
    const Image stereogram = scene.RenderOk("reference");
    ASSERT_NE(FirstDifference(stereogram, scene.input), "") << "the scene must make a stereogram";
    struct Case {
        const char *name;
        bool on;
        double blur, sharpen;
        int post_suites;  // acquisitions of the post-processing stage's own suites
    } cases[] = {
        {"off ignores Blur and Sharpen", false, 5, 5, 0},
        {"off ignores large amounts", false, 100, 100, 0},
        {"on at zero acquires its suites and changes nothing", true, 0, 0, 1},
    };
    for (const auto &c : cases) {
        scene.PostProcessing(c.on, c.blur, c.sharpen);
        scene.host->ClearCalls();
        EXPECT_EQ(FirstDifference(scene.RenderOk(c.name), stereogram), "") << c.name;
        EXPECT_EQ(scene.Count("AcquireSuite:AEGP World Suite"), c.post_suites) << c.name;
        EXPECT_EQ(scene.Count("AcquireSuite:PF ANSI Suite"), c.post_suites) << c.name;
        EXPECT_EQ(scene.Count("AcquireSuite:PF World Transform Suite"), c.post_suites) << c.name;
        EXPECT_EQ(scene.Count("AEGP_New") + scene.Count("convolve"), 0) << c.name;
    }
}

TEST(PostProcessing, RandomDotsAtZeroAmountsKeepTheStereogram) {
    Scene scene;
    scene.Set(PARAM_PATTERN, PATTERN_RANDOM_COLOR_DOTS);
    scene.PostProcessing(false, 0, 0);
    std::srand(1234);
    const Image plain = scene.RenderOk("random dots");
    scene.PostProcessing(true, 0, 0);
    std::srand(1234);
    EXPECT_EQ(FirstDifference(scene.RenderOk("random dots, post at zero"), plain), "");
}

TEST(PostProcessing, SharpenKernels) {
    struct Case {
        double sharpen;
        A_long centre, edge;
    } cases[] = {
        {0.1, 11761, -2366},     {1, 96246, -23487},       {5, 472339, -117511},
        {100, 9402615, -2350080}, {0, 2295, 0},            {kNaN, 2295, 0},
        {-3, 2295, 0},           {250, 9402615, -2350080}, {kInf, 9402615, -2350080},
    };
    for (const auto &c : cases) {
        A_long kernel[9];
        std::fill(kernel, kernel + 9, 777);
        ComputeSharpenKernel(c.sharpen, &StdCeil, kernel);
        const A_long expected[9] = {0, c.edge, 0, c.edge, c.centre, c.edge, 0, c.edge, 0};
        for (int i = 0; i < 9; ++i) EXPECT_EQ(kernel[i], expected[i]) << "sharpen " << c.sharpen << " entry " << i;
        if (c.sharpen > 0) {
            const A_long sum = c.centre + 4 * c.edge;
            EXPECT_GE(sum, 2295) << c.sharpen;
            EXPECT_LE(sum, 2298) << c.sharpen;
        }
    }
}

// Blur then sharpen, in every project depth, equals the host's own blur and convolution applied in that order to
// the stereogram as the stage sees it: in 16 bits every value from 1 to 254 arrives one lower.
TEST(PostProcessing, BlurThenSharpenInEveryDepth) {
    const double blur = 2.5, sharpen = 3;
    Scene reference(Depth::k8);
    const Image stereogram8 = reference.RenderOk("8-bit stereogram");
    const PF_LRect whole{0, 0, Scene::kWidth, Scene::kHeight};
    for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) {
        const std::string name = "depth " + std::to_string(int(depth));
        Scene scene(depth);
        const Image seen = depth == Depth::k16 ? SixteenBitRoundTrip(stereogram8) : stereogram8;
        EXPECT_EQ(FirstDifference(NarrowTo8(scene.RenderOk(name)), seen), "") << name << ": plain stereogram";

        const Image expected = HostSharpen(*scene.host, HostBlur(*scene.host, seen, blur), sharpen, whole);
        const Image reversed = HostBlur(*scene.host, HostSharpen(*scene.host, seen, sharpen, whole), blur);
        ASSERT_NE(FirstDifference(expected, reversed), "") << "the order must matter for this scene";

        scene.PostProcessing(true, blur, sharpen);
        scene.host->ClearCalls();
        EXPECT_EQ(FirstDifference(NarrowTo8(scene.RenderOk(name + " post")), expected), "") << name;
        EXPECT_EQ(scene.Count("AEGP_FastBlur"), 1) << name;
        EXPECT_EQ(scene.Count("convolve"), 1) << name;
    }
}

TEST(PostProcessing, SharpenKeepsPixelsOutsideTheExtentHint) {
    Scene scene;
    FrameRequest request;
    request.rect = PF_LRect{10, 6, 40, 30};
    const Image stereogram = scene.RenderOk("partial stereogram", request);
    scene.PostProcessing(true, 0, 4);
    const Image out = scene.RenderOk("partial sharpened", request);
    const Image expected = HostSharpen(*scene.host, stereogram, 4, request.rect);
    EXPECT_EQ(FirstDifference(out, expected), "");
    bool outside_drawn = false;
    for (int y = 0; y < stereogram.height; ++y)
        for (int x = 0; x < stereogram.width; ++x)
            if ((x < 10 || x >= 40 || y < 6 || y >= 30) && stereogram.at(x, y)[0] != 0) outside_drawn = true;
    EXPECT_TRUE(outside_drawn) << "the scene must hold stereogram pixels outside the extent hint";
}

// ---- failures ----

// Releases without a result, whose failure nobody can see or mend: nothing to check there.
bool Unreportable(const std::string &op) {
    return op == "host_unlock_handle" || op == "host_dispose_handle" || op.rfind("ReleaseSuite:", 0) == 0 ||
           op == "sprintf";
}

// What a failing release leaves with the host: the one thing it did not take back.
vbhost::Ledger LeftByFailedRelease(const std::string &op) {
    vbhost::Ledger l;
    if (op == "checkin_param") l.param_checkouts = 1;
    if (op == "checkin_layer_pixels") l.layer_checkouts = 1;
    if (op == "dispose_world" || op == "AEGP_Dispose") l.worlds = 1;
    return l;
}

bool SameLedger(const vbhost::Ledger &a, const vbhost::Ledger &b) {
    return a.suites == b.suites && a.handles == b.handles && a.locked_handles == b.locked_handles &&
           a.worlds == b.worlds && a.layer_checkouts == b.layer_checkouts && a.param_checkouts == b.param_checkouts;
}

// Every host call of a full frame (pre-render, stereogram, blur and sharpen) made to fail in turn: the first
// error comes back from the command that met it, the input layer is checked in exactly once whenever the render
// ran, and the host holds nothing of the plug-in's afterwards.
TEST(Failures, EveryHostCallFailingInTurn) {
    constexpr PF_Err kErr = 4242;
    for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) {
        std::vector<vbhost::CallRecord> clean;
        {
            Scene scene(depth);
            scene.PostProcessing(true, 1.5, 2);
            scene.host->ClearCalls();
            scene.RenderOk("clean run");
            clean = scene.host->calls();
        }
        // The stereogram generator's calls lie between the output checkout and the post-processing stage; it
        // reports no failure of its own, except a missing suite.
        size_t generator_begin = clean.size(), generator_end = clean.size(), render_begin = clean.size();
        for (size_t i = 0; i < clean.size(); ++i) {
            if (clean[i].op == "checkout_layer_pixels" && render_begin == clean.size()) render_begin = i;
            if (clean[i].op == "checkout_output") generator_begin = i + 1;
            if (clean[i].op == "AcquireSuite:AEGP World Suite") generator_end = i;
        }
        ASSERT_LT(generator_begin, generator_end);
        // The render command starts with its own handle-suite acquisition, shortly before the layer checkout.
        ASSERT_LT(render_begin, clean.size());
        while (render_begin > 0 && clean[render_begin].op != "AcquireSuite:PF Handle Suite") --render_begin;
        ASSERT_EQ(clean[render_begin].op, "AcquireSuite:PF Handle Suite");
        size_t render_lock = render_begin;
        while (render_lock < clean.size() && clean[render_lock].op != "host_lock_handle") ++render_lock;

        std::map<std::string, int> seen;
        for (size_t i = 0; i < clean.size(); ++i) {
            const std::string op = clean[i].op;
            const int nth = ++seen[op];
            if (Unreportable(op)) continue;
            std::ostringstream name;
            name << "depth " << int(depth) << ", " << op << " #" << nth << " failing";

            Scene scene(depth);
            scene.PostProcessing(true, 1.5, 2);
            scene.host->AddFault(vbhost::Fault{op, nth, kErr});
            scene.host->ClearCalls();
            const FrameResult r = scene.Render();

            const bool missing_suite = op.rfind("AcquireSuite:", 0) == 0;
            const bool no_result = op == "host_new_handle" || op == "host_lock_handle";
            const bool in_generator = i >= generator_begin && i < generator_end;
            PF_Err expected = missing_suite ? PF_Err(A_Err_MISSING_SUITE) : no_result ? PF_Err_OUT_OF_MEMORY : kErr;
            // ceil has no error to give; the generator reports none of its own.
            if (op == "ceil" || (in_generator && !missing_suite)) expected = PF_Err_NONE;
            if (i < render_begin) {
                EXPECT_EQ(r.pre_render_err, expected) << name.str();
                EXPECT_EQ(scene.Count("checkout_layer_pixels"), 0) << name.str() << ": no render after a failure";
            } else {
                EXPECT_EQ(r.pre_render_err, PF_Err_NONE) << name.str();
                EXPECT_EQ(r.render_err, expected) << name.str();
                const bool record_unreadable = i == render_begin || i == render_lock;
                EXPECT_EQ(scene.Count("checkin_layer_pixels"), record_unreadable ? 0 : 1) << name.str();
            }
            if (missing_suite) {
                EXPECT_EQ(r.message, "Not able to acquire AEFX Suite.") << name.str();
            }
            vbhost::Ledger left = LeftByFailedRelease(op);
            // Without the handle suite, or with a handle that will not lock, the frame's record cannot be read:
            // its handle (when the suite is missing) and its two layer checkouts stay with the host.
            if (i == render_begin) left.handles = 1;
            if (i == render_begin || i == render_lock) left.param_checkouts = 2;
            EXPECT_TRUE(SameLedger(scene.host->ledger(), left)) << name.str() << ": " << scene.host->ledger().describe();
        }
    }
}

TEST(Failures, MissingPostProcessingSuiteStillChecksTheInputIn) {
    for (const char *suite : {"AEGP World Suite", "PF World Suite", "PF ANSI Suite", "PF World Transform Suite"}) {
        Scene scene;
        scene.PostProcessing(true, 1, 1);
        scene.RenderOk(std::string(suite) + " present");
        scene.host->SetSuiteMissing(suite);
        scene.host->ClearCalls();
        const FrameResult r = scene.Render();
        EXPECT_EQ(r.render_err, A_Err_MISSING_SUITE) << suite;
        EXPECT_EQ(r.message, "Not able to acquire AEFX Suite.") << suite;
        EXPECT_EQ(scene.Count("checkin_layer_pixels"), 1) << suite;
        EXPECT_EQ(scene.Count("AEGP_New") + scene.Count("convolve"), 0) << suite << ": no step runs";
        EXPECT_TRUE(scene.host->ledger().empty()) << suite << ": " << scene.host->ledger().describe();
    }
}

// An output checkout that reports success without a world: nothing to draw into, and the frame says so.
PF_Err NoOutput(PF_ProgPtr, PF_EffectWorld **output) {
    *output = nullptr;
    return PF_Err_NONE;
}

TEST(Failures, OutputCheckoutWithoutWorld) {
    Scene scene;
    HookScope hook([](PF_Cmd cmd, PF_InData *, void *extra) {
        if (cmd != PF_Cmd_SMART_RENDER) return;
        auto *x = static_cast<PF_SmartRenderExtra *>(extra);
        t_host_smart = *x->cb;
        static thread_local PF_SmartRenderCallbacks bent;
        bent = t_host_smart;
        bent.checkout_output = &NoOutput;
        x->cb = &bent;
    });
    const FrameResult r = scene.Render();
    EXPECT_EQ(r.render_err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(scene.Count("checkin_layer_pixels"), 1);
    EXPECT_TRUE(scene.host->ledger().empty()) << scene.host->ledger().describe();
}

TEST(Failures, NullArgumentsAreRefusedWithoutCrashing) {
    Scene scene;
    PF_InData *in = &scene.host->in_data();
    PF_OutData *out = &scene.host->out_data();
    PF_RenderRequest request{};
    PF_PreRenderInput pre_in{};
    pre_in.output_request = request;
    PF_PreRenderOutput pre_out{};
    PF_PreRenderCallbacks pre_cb{};
    PF_SmartRenderInput smart_in{};
    PF_SmartRenderCallbacks smart_cb{};
    struct PreCase {
        const char *name;
        PF_InData *in;
        PF_OutData *out;
        PF_PreRenderExtra extra;
        bool null_extra;
    } pre_cases[] = {
        {"null in-data", nullptr, out, {&pre_in, &pre_out, &pre_cb}, false},
        {"null out-data", in, nullptr, {&pre_in, &pre_out, &pre_cb}, false},
        {"null extra", in, out, {}, true},
        {"null input", in, out, {nullptr, &pre_out, &pre_cb}, false},
        {"null output", in, out, {&pre_in, nullptr, &pre_cb}, false},
        {"null callbacks", in, out, {&pre_in, &pre_out, nullptr}, false},
        {"null checkout_layer", in, out, {&pre_in, &pre_out, &pre_cb}, false},
    };
    for (auto &c : pre_cases) {
        EXPECT_EQ(SmartPreRender(c.in, c.out, c.null_extra ? nullptr : &c.extra), PF_Err_BAD_CALLBACK_PARAM) << c.name;
    }
    struct RenderCase {
        const char *name;
        PF_SmartRenderExtra extra;
        bool null_extra;
    } render_cases[] = {
        {"null extra", {}, true},
        {"null input", {nullptr, &smart_cb}, false},
        {"null callbacks", {&smart_in, nullptr}, false},
        {"null callback entries", {&smart_in, &smart_cb}, false},
    };
    for (auto &c : render_cases) {
        EXPECT_EQ(SmartRender(in, out, c.null_extra ? nullptr : &c.extra), PF_Err_BAD_CALLBACK_PARAM) << c.name;
    }
    EXPECT_EQ(SmartRender(nullptr, out, nullptr), PF_Err_BAD_CALLBACK_PARAM);

    PF_Err err = PF_Err_NONE;
    ApplyPostProcessing(nullptr, out, nullptr, 1, 1, &err);
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM) << "null in-data";
    ApplyPostProcessing(in, out, nullptr, 1, 1, nullptr);
    err = PF_Err_NONE;
    ApplyPostProcessing(in, out, nullptr, 1, 1, &err);
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM) << "null output";
    EXPECT_TRUE(scene.host->ledger().empty()) << scene.host->ledger().describe();
}

// A render command without pre-render data is refused before anything is checked out.
TEST(Failures, RenderWithoutPreRenderData) {
    Scene scene;
    HookScope hook([](PF_Cmd cmd, PF_InData *, void *extra) {
        if (cmd == PF_Cmd_SMART_RENDER) static_cast<PF_SmartRenderExtra *>(extra)->input->pre_render_data = nullptr;
    });
    const FrameResult r = scene.Render();
    EXPECT_EQ(r.render_err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(scene.Count("checkout_layer_pixels"), 0);
}

// ---- threads ----

TEST(Threads, ConcurrentFramesMatchFramesRenderedOneByOne) {
    constexpr int kFrames = 4;
    Layer depth_sequence;
    for (int f = 0; f < kFrames; ++f) {
        depth_sequence.frames.push_back(Picture(Scene::kWidth, Scene::kHeight, [f](int x, int y) {
            const int v = ((x / (6 + f)) + (y / 8)) % 2 ? 220 : 30 + 20 * f;
            return std::array<int, 4>{255, v, v, v};
        }));
    }
    Scene scene;
    scene.host->SetLayerParam(PARAM_DEPTH_LAYER, scene.host->AddLayer(depth_sequence));
    scene.PostProcessing(true, 1, 2);
    const A_long step = scene.host->options().time_step;

    std::vector<Image> expected;
    for (int f = 0; f < kFrames; ++f) {
        FrameRequest request;
        request.time = f * step;
        expected.push_back(scene.RenderOk("frame " + std::to_string(f), request));
    }
    ASSERT_NE(FirstDifference(expected[0], expected[1]), "") << "frames must differ to show a mix-up";

    std::vector<std::string> problems(kFrames * 3);
    std::vector<std::thread> threads;
    for (int t = 0; t < kFrames * 3; ++t) {
        threads.emplace_back([&, t] {
            FrameRequest request;
            request.time = (t % kFrames) * step;
            const FrameResult r = scene.Render(request);
            if (r.pre_render_err != PF_Err_NONE || r.render_err != PF_Err_NONE) problems[t] = "error";
            else problems[t] = FirstDifference(r.output, expected[t % kFrames]);
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < kFrames * 3; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
    EXPECT_TRUE(scene.host->ledger().empty()) << scene.host->ledger().describe();
}

}  // namespace
