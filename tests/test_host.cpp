// The stand-in host on its own: its ledger, call log and faults, depth round trips, padded copies, parameter
// checks, module loading and concurrent frames, driven by a small effect written against the host API.
#include "host/host.h"
#include "render/pixels.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using vbhost::Depth;
using vbhost::Host;
using vbhost::Image;

namespace {

// ---------------------------------------------------------------- a small effect that drives the host

enum TestParam { T_INPUT, T_DEPTH, T_PERIOD, T_PATTERN, T_ENABLE, T_OVERSAMPLING, T_GROUP, T_COUNT };

// What the test effect's pre-render leaves for its render.
struct FrameNote {
    PF_EffectWorld depth;
    double period;
    A_long pattern;
};

std::atomic<bool> g_release_note{true};     // whether the render disposes of its pre-render handle
std::atomic<bool> g_scribble_input{false};  // whether the render writes into the layer it was lent

template <typename Suite>
const Suite *acquire(PF_InData *in_data, const char *name, int32_t version) {
    const void *table = nullptr;
    if (in_data->pica_basicP->AcquireSuite(name, version, &table) != 0) return nullptr;
    return static_cast<const Suite *>(table);
}

PF_Err paramsSetup(PF_InData *in_data) {
    PF_Err err = PF_Err_NONE;
    PF_ParamDef def{};
    def.param_type = PF_Param_LAYER;
    PF_STRCPY(def.name, "Depth Map Layer");
    def.uu.id = T_DEPTH;
    if ((err = PF_ADD_PARAM(in_data, -1, &def))) return err;

    def = PF_ParamDef{};
    def.param_type = PF_Param_FLOAT_SLIDER;
    PF_STRCPY(def.name, "Repetition Period (px)");
    def.u.fs_d.valid_min = 10, def.u.fs_d.valid_max = 400, def.u.fs_d.slider_min = 10, def.u.fs_d.slider_max = 300;
    def.u.fs_d.value = 100, def.u.fs_d.dephault = 100;
    def.uu.id = T_PERIOD;
    if ((err = PF_ADD_PARAM(in_data, -1, &def))) return err;

    def = PF_ParamDef{};
    def.param_type = PF_Param_POPUP;
    PF_STRCPY(def.name, "Pattern");
    def.u.pd.num_choices = 3, def.u.pd.value = 1, def.u.pd.dephault = 1;
    def.u.pd.u.namesptr = "Random Dots|Random Color Dots|Texture";
    def.uu.id = T_PATTERN;
    if ((err = PF_ADD_PARAM(in_data, -1, &def))) return err;

    def = PF_ParamDef{};
    def.param_type = PF_Param_CHECKBOX;
    PF_STRCPY(def.name, "Enable");
    def.uu.id = T_ENABLE;
    if ((err = PF_ADD_PARAM(in_data, -1, &def))) return err;

    def = PF_ParamDef{};
    def.param_type = PF_Param_SLIDER;
    PF_STRCPY(def.name, "Oversampling");
    def.u.sd.valid_min = 1, def.u.sd.valid_max = 10, def.u.sd.slider_min = 1, def.u.sd.slider_max = 10;
    def.u.sd.value = 4, def.u.sd.dephault = 4;
    def.uu.id = T_OVERSAMPLING;
    if ((err = PF_ADD_PARAM(in_data, -1, &def))) return err;

    def = PF_ParamDef{};
    def.param_type = PF_Param_GROUP_START;
    PF_STRCPY(def.name, "Post-Processing");
    def.uu.id = T_GROUP;
    return PF_ADD_PARAM(in_data, -1, &def);
}

// Enable switches the period's control on and off.
PF_Err updateUi(PF_InData *in_data, PF_ParamDef *params[]) {
    auto *utils = acquire<PF_ParamUtilsSuite3>(in_data, kPFParamUtilsSuite, kPFParamUtilsSuiteVersion3);
    if (!utils) return A_Err_MISSING_SUITE;
    PF_ParamDef *period = params[T_PERIOD];
    if (params[T_ENABLE]->u.bd.value)
        period->ui_flags &= ~PF_PUI_DISABLED;
    else
        period->ui_flags |= PF_PUI_DISABLED;
    const PF_Err err = utils->PF_UpdateParamUI(in_data->effect_ref, T_PERIOD, period);
    in_data->pica_basicP->ReleaseSuite(kPFParamUtilsSuite, kPFParamUtilsSuiteVersion3);
    return err;
}

PF_Err preRender(PF_InData *in_data, PF_PreRenderExtra *extra) {
    auto *hs = acquire<PF_HandleSuite2>(in_data, kPFHandleSuite, kPFHandleSuiteVersion2);
    if (!hs) return A_Err_MISSING_SUITE;
    PF_Err err = PF_Err_NONE;
    PF_Handle h = hs->host_new_handle(sizeof(FrameNote));
    auto *note = h ? static_cast<FrameNote *>(hs->host_lock_handle(h)) : nullptr;
    if (!note) err = PF_Err_OUT_OF_MEMORY;
    PF_ParamDef def{};
    if (!err) err = PF_CHECKOUT_PARAM(in_data, T_DEPTH, in_data->current_time, in_data->time_step, in_data->time_scale, &def);
    if (!err) note->depth = def.u.ld;
    def = PF_ParamDef{};
    if (!err) err = PF_CHECKOUT_PARAM(in_data, T_PERIOD, in_data->current_time, in_data->time_step, in_data->time_scale, &def);
    if (!err) note->period = def.u.fs_d.value, err = PF_CHECKIN_PARAM(in_data, &def);
    def = PF_ParamDef{};
    if (!err) err = PF_CHECKOUT_PARAM(in_data, T_PATTERN, in_data->current_time, in_data->time_step, in_data->time_scale, &def);
    if (!err) note->pattern = def.u.pd.value, err = PF_CHECKIN_PARAM(in_data, &def);
    PF_CheckoutResult in_result{};
    if (!err)
        err = extra->cb->checkout_layer(in_data->effect_ref, 0, 0, &extra->input->output_request, in_data->current_time,
                                        in_data->time_step, in_data->time_scale, &in_result);
    if (!err) {
        extra->output->result_rect = in_result.result_rect;
        extra->output->max_result_rect = in_result.max_result_rect;
    }
    if (note) hs->host_unlock_handle(h);
    if (h && note) extra->output->pre_render_data = h;
    else if (h) hs->host_dispose_handle(h);
    in_data->pica_basicP->ReleaseSuite(kPFHandleSuite, kPFHandleSuiteVersion2);
    return err;
}

// Copies the input into the output and reports the depth map it was given.
PF_Err smartRender(PF_InData *in_data, PF_OutData *out_data, PF_SmartRenderExtra *extra) {
    auto *hs = acquire<PF_HandleSuite2>(in_data, kPFHandleSuite, kPFHandleSuiteVersion2);
    if (!hs) return A_Err_MISSING_SUITE;
    auto h = static_cast<PF_Handle>(extra->input->pre_render_data);
    auto *note = static_cast<FrameNote *>(hs->host_lock_handle(h));
    PF_Err err = note ? PF_Err_NONE : PF_Err_OUT_OF_MEMORY;
    PF_EffectWorld *input = nullptr, *output = nullptr;
    if (!err) err = extra->cb->checkout_layer_pixels(in_data->effect_ref, 0, &input);
    if (!err) err = extra->cb->checkout_output(in_data->effect_ref, &output);
    if (!err && g_scribble_input) static_cast<unsigned char *>(input->data)[1] ^= 0xFF;
    if (!err) err = PF_COPY(input, output, nullptr, nullptr);
    if (note) {
        PF_SPRINTF(out_data->return_msg, "depth %dx%d period %g pattern %d downsample 1/%u", int(note->depth.width),
                   int(note->depth.height), note->period, int(note->pattern), unsigned(in_data->downsample_x.den));
        PF_ParamDef depth{};
        depth.param_type = PF_Param_LAYER;
        depth.uu.id = T_DEPTH;
        depth.u.ld = note->depth;
        const PF_Err checkin = PF_CHECKIN_PARAM(in_data, &depth);
        if (!err) err = checkin;
        const PF_Err layer_in = extra->cb->checkin_layer_pixels(in_data->effect_ref, 0);
        if (!err) err = layer_in;
        hs->host_unlock_handle(h);
        if (g_release_note) hs->host_dispose_handle(h);
    }
    in_data->pica_basicP->ReleaseSuite(kPFHandleSuite, kPFHandleSuiteVersion2);
    return err;
}

PF_Err TestEffectMain(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[], PF_LayerDef *,
                      void *extra) {
    switch (cmd) {
    case PF_Cmd_PARAMS_SETUP:
        out_data->num_params = T_COUNT;
        return paramsSetup(in_data);
    case PF_Cmd_UPDATE_PARAMS_UI: return updateUi(in_data, params);
    case PF_Cmd_SMART_PRE_RENDER: return preRender(in_data, static_cast<PF_PreRenderExtra *>(extra));
    case PF_Cmd_SMART_RENDER: return smartRender(in_data, out_data, static_cast<PF_SmartRenderExtra *>(extra));
    default: return PF_Err_NONE;
    }
}

PF_Err TestEntry(void *data, PF_PluginDataCB cb, SPBasicSuite *, const char *, const char *) {
    return cb(data, reinterpret_cast<const A_u_char *>("Test"), reinterpret_cast<const A_u_char *>("KV Test"),
              reinterpret_cast<const A_u_char *>("Tests"), reinterpret_cast<const A_u_char *>("EffectMain"),
              0x65464B54, 13, 25, 8);
}

// ---------------------------------------------------------------- helpers

Image solid(int w, int h, float a, float r, float g, float b, Depth d = Depth::k8) {
    Image img(w, h, d);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float *p = img.at(x, y);
            p[0] = a, p[1] = r, p[2] = g, p[3] = b;
        }
    return img;
}

int countOps(const Host &host, const std::string &op) {
    int n = 0;
    for (const auto &c : host.calls()) n += c.op == op;
    return n;
}

// A host with the test effect whose parameters are set up and whose input is a picture.
struct Rig {
    Host host;
    explicit Rig(vbhost::HostOptions o = {}) : host(o) {
        host.SetEffect(&TestEffectMain, &TestEntry);
        EXPECT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    }
};

// ---------------------------------------------------------------- ledger and call log

TEST(HostLedger, ShowsLeakedWorldHandleAndSuiteUntilReleased) {
    Host host;
    PF_InData *in_data = &host.in_data();
    PF_EffectWorld world{};
    ASSERT_EQ(PF_NEW_WORLD(3, 2, PF_NewWorldFlag_CLEAR_PIXELS, &world), PF_Err_NONE);
    auto *hs = acquire<PF_HandleSuite2>(in_data, kPFHandleSuite, kPFHandleSuiteVersion2);
    ASSERT_NE(hs, nullptr);
    PF_Handle h = hs->host_new_handle(64);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(hs->host_lock_handle(h), nullptr);

    vbhost::Ledger l = host.ledger();
    EXPECT_EQ(l.worlds, 1);
    EXPECT_EQ(l.handles, 1);
    EXPECT_EQ(l.locked_handles, 1);
    EXPECT_EQ(l.suites, 1);
    EXPECT_FALSE(l.empty());
    EXPECT_NE(l.describe().find("worlds=1"), std::string::npos) << l.describe();
    EXPECT_NE(l.describe().find("PF Handle Suite"), std::string::npos) << l.describe();

    // The format registry answers for any copy of the description, as the effect copies them by value.
    const PF_EffectWorld copy = world;
    auto *ws = acquire<PF_WorldSuite2>(in_data, kPFWorldSuite, kPFWorldSuiteVersion2);
    ASSERT_NE(ws, nullptr);
    PF_PixelFormat format = PF_PixelFormat_INVALID;
    EXPECT_EQ(ws->PF_GetPixelFormat(&copy, &format), PF_Err_NONE);
    EXPECT_EQ(format, PF_PixelFormat_ARGB32);
    EXPECT_GT(world.rowbytes, world.width * 4) << "rows are padded on purpose";

    hs->host_unlock_handle(h);
    hs->host_dispose_handle(h);
    EXPECT_EQ(PF_DISPOSE_WORLD(&world), PF_Err_NONE);
    in_data->pica_basicP->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
    in_data->pica_basicP->ReleaseSuite(kPFHandleSuite, kPFHandleSuiteVersion2);
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();

    // Releasing twice is a fault of the caller, and the log says so.
    host.ClearCalls();
    EXPECT_NE(PF_DISPOSE_WORLD(&world), PF_Err_NONE);
    hs->host_dispose_handle(h);
    const auto calls = host.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, "dispose_world");
    EXPECT_EQ(calls[0].result, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(calls[1].op, "host_dispose_handle");
    EXPECT_EQ(calls[1].result, PF_Err_BAD_CALLBACK_PARAM);
}

TEST(HostLedger, UnknownSuiteOrVersionGivesErrorAndNoTable) {
    Host host;
    struct Case { const char *name; int32_t version; bool ok; } cases[] = {
        {kPFHandleSuite, 2, true},           {kPFHandleSuite, 1, false}, {kPFWorldSuite, 2, true},
        {kAEGPWorldSuite, 3, true},          {kAEGPWorldSuite, 2, false}, {kPFANSISuite, 1, true},
        {kPFWorldTransformSuite, 1, true},   {kPFParamUtilsSuite, 3, true}, {"PF Nonsense Suite", 1, false},
    };
    for (const Case &c : cases) {
        const void *table = reinterpret_cast<const void *>(&host);  // anything but null
        const SPErr err = host.in_data().pica_basicP->AcquireSuite(c.name, c.version, &table);
        EXPECT_EQ(err == 0, c.ok) << c.name << " v" << c.version;
        EXPECT_EQ(table != nullptr, c.ok) << c.name << " v" << c.version;
        if (err == 0) host.in_data().pica_basicP->ReleaseSuite(c.name, c.version);
    }
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
}

// Suite functions get no context argument, yet each host's tables must reach that host and no other.
TEST(HostLedger, SuitesOfTwoLiveHostsCountInTheirOwnLedgers) {
    Host a, b;
    auto *hs_a = acquire<PF_HandleSuite2>(&a.in_data(), kPFHandleSuite, 2);
    auto *hs_b = acquire<PF_HandleSuite2>(&b.in_data(), kPFHandleSuite, 2);
    ASSERT_TRUE(hs_a && hs_b);
    PF_Handle h1 = hs_a->host_new_handle(8), h2 = hs_a->host_new_handle(8);
    EXPECT_EQ(a.ledger().handles, 2);
    EXPECT_EQ(b.ledger().handles, 0);
    hs_b->host_dispose_handle(h1);  // not b's handle: refused, a still holds it
    EXPECT_EQ(a.ledger().handles, 2);
    ASSERT_FALSE(b.calls().empty());
    EXPECT_EQ(b.calls().back().result, PF_Err_BAD_CALLBACK_PARAM);
    hs_a->host_dispose_handle(h1);
    hs_a->host_dispose_handle(h2);
    a.in_data().pica_basicP->ReleaseSuite(kPFHandleSuite, 2);
    b.in_data().pica_basicP->ReleaseSuite(kPFHandleSuite, 2);
    EXPECT_TRUE(a.ledger().empty()) << a.ledger().describe();
    EXPECT_TRUE(b.ledger().empty()) << b.ledger().describe();
}

TEST(HostLedger, WritesBeyondARowOrIntoALentLayerShowAsDamage) {
    Host host;
    PF_InData *in_data = &host.in_data();
    PF_EffectWorld world{};
    ASSERT_EQ(PF_NEW_WORLD(2, 2, PF_NewWorldFlag_CLEAR_PIXELS, &world), PF_Err_NONE);
    static_cast<unsigned char *>(world.data)[2 * 4] = 1;  // one byte past the end of row 0
    ASSERT_EQ(PF_DISPOSE_WORLD(&world), PF_Err_NONE);
    EXPECT_EQ(host.ledger().damaged_worlds, 1);
    EXPECT_FALSE(host.ledger().empty());

    Host framed;
    framed.SetEffect(&TestEffectMain, &TestEntry);
    ASSERT_EQ(framed.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    framed.SetInputLayer(framed.AddLayer({{solid(4, 4, 255, 1, 2, 3)}}));
    ASSERT_EQ(framed.RenderFrame({}).render_err, PF_Err_NONE);
    EXPECT_TRUE(framed.ledger().empty()) << framed.ledger().describe();
    g_scribble_input = true;
    framed.RenderFrame({});
    g_scribble_input = false;
    EXPECT_EQ(framed.ledger().damaged_worlds, 1) << framed.ledger().describe();
}

// ---------------------------------------------------------------- faults

TEST(HostFaults, NthCallOfAnOperationFailsAndOnlyThatOne) {
    Host host;
    PF_InData *in_data = &host.in_data();
    host.AddFault({"new_world", 2, PF_Err_OUT_OF_MEMORY});
    PF_EffectWorld w[3];
    std::memset(w, 0, sizeof w);
    EXPECT_EQ(PF_NEW_WORLD(2, 2, 1, &w[0]), PF_Err_NONE);
    EXPECT_EQ(PF_NEW_WORLD(2, 2, 1, &w[1]), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(w[1].data, nullptr) << "a failed call does nothing";
    EXPECT_EQ(PF_NEW_WORLD(2, 2, 1, &w[2]), PF_Err_NONE);
    EXPECT_EQ(host.ledger().worlds, 2);
    PF_DISPOSE_WORLD(&w[0]);
    PF_DISPOSE_WORLD(&w[2]);

    const auto calls = host.calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[1].op, "new_world");
    EXPECT_EQ(calls[1].result, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(calls[2].result, PF_Err_NONE);
}

TEST(HostFaults, OperationsWithoutErrorResultFailTheirOwnWay) {
    Host host;
    PF_InData *in_data = &host.in_data();
    SPBasicSuite *basic = in_data->pica_basicP;

    host.AddFault({"AcquireSuite:PF World Suite", 1, A_Err_MISSING_SUITE});
    const void *table = &host;
    EXPECT_EQ(basic->AcquireSuite(kPFWorldSuite, 2, &table), A_Err_MISSING_SUITE);
    EXPECT_EQ(table, nullptr);

    host.SetSuiteMissing(kPFANSISuite);
    table = &host;
    EXPECT_NE(basic->AcquireSuite(kPFANSISuite, 1, &table), 0);
    EXPECT_EQ(table, nullptr);

    auto *hs = acquire<PF_HandleSuite2>(in_data, kPFHandleSuite, 2);
    ASSERT_NE(hs, nullptr);
    host.AddFault({"host_new_handle", 1, PF_Err_OUT_OF_MEMORY});
    EXPECT_EQ(hs->host_new_handle(16), nullptr);
    PF_Handle h = hs->host_new_handle(16);
    ASSERT_NE(h, nullptr);
    host.AddFault({"host_lock_handle", 1, PF_Err_OUT_OF_MEMORY});
    EXPECT_EQ(hs->host_lock_handle(h), nullptr);
    EXPECT_EQ(host.ledger().locked_handles, 0);
    EXPECT_NE(hs->host_lock_handle(h), nullptr);
    hs->host_unlock_handle(h);
    hs->host_dispose_handle(h);
    basic->ReleaseSuite(kPFHandleSuite, 2);
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
}

// ---------------------------------------------------------------- depth round trips and copies

// Every 8-bit value widened by the host, as it delivers 8-bit layers in deeper projects, comes back unchanged
// through the effect's narrowing; also when the widening is the host's copy into a padded deep world.
TEST(HostDepth, EveryByteSurvivesHostWideningAndEffectNarrowing) {
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(Narrow16To8(A_u_short(vbhost::Widen8(std::uint8_t(v), Depth::k16))), v) << "16-bit, value " << v;
        EXPECT_EQ(NarrowFloatTo8(vbhost::Widen8(std::uint8_t(v), Depth::k32)), v) << "float, value " << v;
    }
    Host host;
    PF_InData *in_data = &host.in_data();
    Image bytes(16, 16, Depth::k8);
    for (int i = 0; i < 256; ++i) {
        float *p = bytes.at(i % 16, i / 16);
        p[0] = float(i), p[1] = float(255 - i), p[2] = float(i), p[3] = float((i * 7) % 256);
    }
    PF_EffectWorld *src = host.MakeWorld(bytes);
    for (Depth d : {Depth::k16, Depth::k32}) {
        PF_EffectWorld *deep = host.MakeWorld(16, 16, d);
        ASSERT_EQ(PF_COPY(src, deep, nullptr, nullptr), PF_Err_NONE);
        for (int i = 0; i < 256; ++i) {
            const int x = i % 16, y = i / 16;
            const float *want = bytes.at(x, y);
            A_u_char got[4];
            if (d == Depth::k16) {
                const PF_Pixel16 *p = GetPixel16(deep, x, y);
                got[0] = Narrow16To8(p->alpha), got[1] = Narrow16To8(p->red), got[2] = Narrow16To8(p->green),
                got[3] = Narrow16To8(p->blue);
            } else {
                const PF_PixelFloat *p = GetPixel32(deep, x, y);
                got[0] = NarrowFloatTo8(p->alpha), got[1] = NarrowFloatTo8(p->red), got[2] = NarrowFloatTo8(p->green),
                got[3] = NarrowFloatTo8(p->blue);
            }
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(got[c], A_u_char(want[c])) << "depth " << int(d) << " value " << i << " channel " << c;
        }
        host.FreeWorld(deep);
    }
    host.FreeWorld(src);
}

TEST(HostWorlds, CopyBetweenAllDepthsKeepsPixelsAndLeavesRowPaddingAlone) {
    vbhost::HostOptions o;
    o.row_padding_bytes = 24;
    Host host(o);
    PF_InData *in_data = &host.in_data();
    Image picture(5, 3, Depth::k8);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            float *p = picture.at(x, y);
            p[0] = 255, p[1] = float(x * 50), p[2] = float(y * 100), p[3] = float((x + y) * 17);
        }
    const Depth depths[] = {Depth::k8, Depth::k16, Depth::k32};
    for (Depth from : depths) {
        for (Depth to : depths) {
            PF_EffectWorld *a = host.MakeWorld(vbhost::ConvertImage(picture, from));
            PF_EffectWorld *b = host.MakeWorld(5, 3, to);
            const int pixel_size = to == Depth::k8 ? 4 : to == Depth::k16 ? 8 : 16;
            ASSERT_GE(b->rowbytes, 5 * pixel_size + 24);
            std::vector<unsigned char> padding_before;
            for (int y = 0; y < 3; ++y) {
                const unsigned char *row = static_cast<unsigned char *>(b->data) + y * b->rowbytes;
                padding_before.insert(padding_before.end(), row + 5 * pixel_size, row + b->rowbytes);
            }
            ASSERT_EQ(PF_COPY(a, b, nullptr, nullptr), PF_Err_NONE) << int(from) << "->" << int(to);
            const Image back = vbhost::ConvertImage(host.ReadWorld(*b), Depth::k8);
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x)
                    for (int c = 0; c < 4; ++c)
                        ASSERT_EQ(back.at(x, y)[c], picture.at(x, y)[c])
                            << int(from) << "->" << int(to) << " at " << x << "," << y << " channel " << c;
            std::vector<unsigned char> padding_after;
            for (int y = 0; y < 3; ++y) {
                const unsigned char *row = static_cast<unsigned char *>(b->data) + y * b->rowbytes;
                padding_after.insert(padding_after.end(), row + 5 * pixel_size, row + b->rowbytes);
            }
            EXPECT_EQ(padding_after, padding_before) << int(from) << "->" << int(to);
            host.FreeWorld(a);
            host.FreeWorld(b);
        }
    }
    // Worlds of different sizes or descriptions the host never made are refused, not overrun.
    PF_EffectWorld *small = host.MakeWorld(2, 2, Depth::k8);
    PF_EffectWorld *big = host.MakeWorld(4, 4, Depth::k8);
    EXPECT_NE(PF_COPY(big, small, nullptr, nullptr), PF_Err_NONE);
    PF_EffectWorld forged = *small;
    forged.height = 50;
    EXPECT_EQ(PF_COPY(big, &forged, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    std::vector<unsigned char> foreign_pixels(64);
    PF_EffectWorld foreign = *small;
    foreign.data = foreign_pixels.data();
    EXPECT_EQ(PF_COPY(small, &foreign, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    host.FreeWorld(small);
    host.FreeWorld(big);
}

TEST(HostStrings, SprintfStopsAtTheMessageBufferEnd) {
    Host host;
    PF_InData *in_data = &host.in_data();
    std::vector<char> buffer(PF_MAX_EFFECT_MSG_LEN + 1 + 16, '#');
    const std::string long_text(400, 'x');
    const A_long n = PF_SPRINTF(buffer.data(), "%s", long_text.c_str());
    EXPECT_EQ(n, PF_MAX_EFFECT_MSG_LEN);
    EXPECT_EQ(std::strlen(buffer.data()), std::size_t(PF_MAX_EFFECT_MSG_LEN));
    for (std::size_t i = PF_MAX_EFFECT_MSG_LEN + 1; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '#') << "byte " << i;
    EXPECT_EQ(PF_SPRINTF(buffer.data(), "%s, v%s", "Vellumbra", "1.0.18"), 18);
    EXPECT_STREQ(buffer.data(), "Vellumbra, v1.0.18");
}

// ---------------------------------------------------------------- parameters

TEST(HostParams, PanelRejectsValuesOutsideTheValidRangeNamingTheParameter) {
    Rig rig;
    Host &host = rig.host;
    ASSERT_EQ(host.param_defs().size(), std::size_t(T_COUNT));
    struct Case { int index; double value; bool ok; const char *message_has; } cases[] = {
        {T_PERIOD, 400, true, ""},           // beyond the slider's end, within the valid range
        {T_PERIOD, 10, true, ""},
        {T_PERIOD, 400.5, false, "\"Repetition Period (px)\""},
        {T_PERIOD, 9.99, false, "between 10 and 400"},
        {T_OVERSAMPLING, 11, false, "between 1 and 10"},
        {T_OVERSAMPLING, 2.5, false, "\"Oversampling\" takes whole numbers"},
        {T_PATTERN, 4, false, "1 to 3"},
        {T_PATTERN, 3, true, ""},
        {T_ENABLE, 2, false, "\"Enable\""},
        {T_DEPTH, 1, false, "layer parameter"},
        {T_GROUP, 1, false, "no value"},
        {99, 1, false, "no parameter 99"},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_EQ(host.SetParamValue(c.index, c.value, &error), c.ok) << c.index << " = " << c.value;
        EXPECT_NE(error.find(c.message_has), std::string::npos)
            << c.index << " = " << c.value << " gave message: " << error;
    }
    EXPECT_EQ(host.param_defs()[T_PERIOD].u.fs_d.value, 10.0) << "a rejected value leaves the last good one";
    EXPECT_EQ(host.param_defs()[T_PATTERN].u.pd.value, 3);
    host.ForceParamValue(T_PERIOD, 5000);
    EXPECT_EQ(host.param_defs()[T_PERIOD].u.fs_d.value, 5000.0);
}

TEST(HostParams, UiUpdateChangesTheHostsDefinitionAndIsRecorded) {
    Rig rig;
    Host &host = rig.host;
    host.ClearCalls();
    ASSERT_EQ(host.Send(PF_Cmd_UPDATE_PARAMS_UI), PF_Err_NONE);
    EXPECT_TRUE(host.param_defs()[T_PERIOD].ui_flags & PF_PUI_DISABLED);
    ASSERT_TRUE(host.SetParamValue(T_ENABLE, 1));
    ASSERT_EQ(host.Send(PF_Cmd_UPDATE_PARAMS_UI), PF_Err_NONE);
    EXPECT_FALSE(host.param_defs()[T_PERIOD].ui_flags & PF_PUI_DISABLED);
    const auto updates = host.ui_updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].index, T_PERIOD);
    EXPECT_TRUE(updates[0].def.ui_flags & PF_PUI_DISABLED);
    EXPECT_FALSE(updates[1].def.ui_flags & PF_PUI_DISABLED);
    EXPECT_EQ(countOps(host, "PF_UpdateParamUI"), 2);
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
    // The choices are the host's own copy, not a pointer into the effect.
    EXPECT_STREQ(host.param_defs()[T_PATTERN].u.pd.u.namesptr, "Random Dots|Random Color Dots|Texture");
}

TEST(HostAnnounce, RecordsWhatTheEffectAnnouncesAndPassesFaultsBack) {
    Rig rig;
    Host::Announcement a;
    ASSERT_EQ(rig.host.Announce(&a), PF_Err_NONE);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.name, "Test");
    EXPECT_EQ(a.match_name, "KV Test");
    EXPECT_EQ(a.category, "Tests");
    EXPECT_EQ(a.entry_point, "EffectMain");
    EXPECT_EQ(a.api_version, 13);
    EXPECT_EQ(a.api_subversion, 25);
    EXPECT_EQ(a.reserved_info, 8);
    rig.host.AddFault({"plugin_data_callback", 1, PF_Err_OUT_OF_MEMORY});
    EXPECT_EQ(rig.host.Announce(&a), PF_Err_OUT_OF_MEMORY);
}

// ---------------------------------------------------------------- frames

TEST(HostFrames, RenderAtHalfResolutionDeliversLayersDownsampledAndClipsTheRequest) {
    Rig rig;
    Host &host = rig.host;
    const int input = host.AddLayer({{solid(9, 5, 255, 10, 20, 30)}});
    const int depth = host.AddLayer({{solid(21, 11, 255, 128, 128, 128)}});
    host.SetInputLayer(input);
    host.SetLayerParam(T_DEPTH, depth);

    vbhost::FrameRequest req;
    req.downsample = 2;
    req.rect = PF_LRect{1, 1, 40, 2};
    const vbhost::FrameResult r = host.RenderFrame(req);
    ASSERT_EQ(r.pre_render_err, PF_Err_NONE) << r.message;
    ASSERT_EQ(r.render_err, PF_Err_NONE) << r.message;
    EXPECT_EQ(r.output.width, 5);
    EXPECT_EQ(r.output.height, 3);
    EXPECT_EQ(r.message, "depth 11x6 period 100 pattern 1 downsample 1/2");
    EXPECT_EQ(r.result_rect.left, 1);
    EXPECT_EQ(r.result_rect.right, 5);
    EXPECT_EQ(r.result_rect.bottom, 2);
    EXPECT_EQ(r.max_result_rect.right, 5);
    EXPECT_EQ(r.max_result_rect.bottom, 3);
    EXPECT_EQ(r.output.at(4, 2)[3], 30.0f);
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
}

TEST(HostFrames, FailedPreRenderIsNotFollowedByARender) {
    Rig rig;
    Host &host = rig.host;
    host.SetInputLayer(host.AddLayer({{solid(4, 4, 255, 1, 2, 3)}}));
    host.AddFault({"checkout_layer", 1, PF_Err_OUT_OF_MEMORY});
    const vbhost::FrameResult r = host.RenderFrame({});
    EXPECT_EQ(r.pre_render_err, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(countOps(host, "checkout_output"), 0);
    EXPECT_EQ(countOps(host, "checkout_layer_pixels"), 0);
    // The test effect handed its handle over before the failure; nobody released it, and the ledger says so.
    EXPECT_EQ(host.ledger().handles, 1);
    EXPECT_EQ(host.ledger().param_checkouts, 1) << "the depth layer checkout of the pre-render";
}

TEST(HostFrames, OutputNeverCheckedOutIsTransparentBlackAlsoWhenPacked) {
    for (Depth depth : {Depth::k8, Depth::k32}) {
        Rig rig;
        Host &host = rig.host;
        host.SetProjectDepth(depth);
        host.SetInputLayer(host.AddLayer({{solid(6, 3, 255, 1, 2, 3)}}));
        host.AddFault({"checkout_output", 1, PF_Err_OUT_OF_MEMORY});
        vbhost::FrameRequest req;
        req.packed_output = true;
        const vbhost::FrameResult r = host.RenderFrame(req);
        EXPECT_EQ(r.render_err, PF_Err_OUT_OF_MEMORY);
        EXPECT_TRUE(r.output.argb.empty());
        EXPECT_EQ(r.packed_output.width, 6);
        EXPECT_EQ(r.packed_output.height, 3);
        EXPECT_EQ(r.packed_output.depth, depth);
        const std::size_t bytes = std::size_t(6 * 3) * (depth == Depth::k8 ? 4 : 16);
        EXPECT_EQ(r.packed_output.bytes, std::vector<unsigned char>(bytes, 0));
    }
}

TEST(HostFrames, UnreleasedRenderInfoHandleShowsInTheLedger) {
    Rig rig;
    Host &host = rig.host;
    host.SetInputLayer(host.AddLayer({{solid(4, 4, 255, 1, 2, 3)}}));
    g_release_note = false;
    const vbhost::FrameResult r = host.RenderFrame({});
    g_release_note = true;
    EXPECT_EQ(r.render_err, PF_Err_NONE);
    const vbhost::Ledger l = host.ledger();
    EXPECT_EQ(l.handles, 1) << l.describe();
    EXPECT_EQ(l.locked_handles, 0) << l.describe();
}

TEST(HostFrames, SeveralThreadsRenderDifferentFramesOfASequence) {
    Rig rig;
    Host &host = rig.host;
    vbhost::Layer sequence;
    const int frames = 12;
    for (int i = 0; i < frames; ++i) sequence.frames.push_back(solid(33, 17, 255, float(i * 20), float(i), 7));
    host.SetInputLayer(host.AddLayer(sequence));
    host.SetLayerParam(T_DEPTH, host.AddLayer({{solid(8, 8, 255, 50, 50, 50)}}));

    const int threads = 4, per_thread = 6;
    std::vector<std::string> failures(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int k = 0; k < per_thread; ++k) {
                const int frame = (t * per_thread + k) % (frames + 2);  // beyond the end holds the last frame
                vbhost::FrameRequest req;
                req.time = frame * host.options().time_step;
                const vbhost::FrameResult r = host.RenderFrame(req);
                const int shown = std::min(frame, frames - 1);
                if (r.pre_render_err || r.render_err || r.output.width != 33 ||
                    r.output.at(32, 16)[1] != float(shown * 20) || r.output.at(0, 0)[2] != float(shown)) {
                    failures[t] += "frame " + std::to_string(frame) + " (" + r.message + "); ";
                }
            }
        });
    }
    for (auto &th : pool) th.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
    EXPECT_EQ(countOps(host, "checkout_output"), threads * per_thread);
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
}

TEST(HostFrames, DeepProjectsGetLayersWidenedAndOutputsInTheirDepth) {
    for (Depth d : {Depth::k16, Depth::k32}) {
        vbhost::HostOptions o;
        o.project_depth = d;
        Rig rig(o);
        Host &host = rig.host;
        host.SetInputLayer(host.AddLayer({{solid(3, 2, 255, 1, 128, 254)}}));
        const vbhost::FrameResult r = host.RenderFrame({});
        ASSERT_EQ(r.render_err, PF_Err_NONE) << "depth " << int(d);
        EXPECT_EQ(r.output.depth, d);
        const float *p = r.output.at(2, 1);
        const A_u_char red = d == Depth::k16 ? Narrow16To8(A_u_short(p[1])) : NarrowFloatTo8(p[1]);
        const A_u_char green = d == Depth::k16 ? Narrow16To8(A_u_short(p[2])) : NarrowFloatTo8(p[2]);
        EXPECT_EQ(red, 1) << "depth " << int(d);
        EXPECT_EQ(green, 128) << "depth " << int(d);
    }
}

// ---------------------------------------------------------------- modules

TEST(HostModule, SaysWhyAModuleCannotBeUsed) {
    const std::string missing = ::testing::TempDir() + "vellumbra_no_such_module.so";
    vbhost::Module absent(missing);
    EXPECT_FALSE(absent.ok());
    EXPECT_EQ(absent.effect_main(), nullptr);
    EXPECT_NE(absent.error().find("cannot load"), std::string::npos) << absent.error();
    EXPECT_NE(absent.error().find(missing), std::string::npos) << absent.error();

    const std::string text = ::testing::TempDir() + "vellumbra_not_a_module.so";
    std::ofstream(text) << "this is not a shared library\n";
    vbhost::Module garbage(text);
    EXPECT_FALSE(garbage.ok());
    EXPECT_NE(garbage.error().find("cannot load"), std::string::npos) << garbage.error();
    std::remove(text.c_str());

#if defined(__linux__)
    // A real library without the two entry points.
    vbhost::Module libm("libm.so.6");
    EXPECT_FALSE(libm.ok());
    EXPECT_EQ(libm.entry(), nullptr);
    EXPECT_NE(libm.error().find("lacks the entry point EffectMain"), std::string::npos) << libm.error();
#endif
}

}  // namespace
