// How the stand-in host lends layer pixels to an effect: the delivered values at every source and project depth and
// downsample, pictures kept between checkouts that an effect's writes cannot spoil, and the damage check on return.
#include "host/host.h"
#include "host/host_impl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using vbhost::Depth;
using vbhost::Host;
using vbhost::Image;

namespace {

// ---------------------------------------------------------------- an effect that copies a lent layer

enum LendParam { L_INPUT, L_OTHER, L_COUNT };

// Which layer the effect copies into its output (the input or the other layer parameter), and whether it then
// writes into both layers it was lent.
int g_source = L_INPUT;
bool g_scribble = false;
// The pixel format of the input as the effect was last lent it.
PF_PixelFormat g_lent_format = PF_PixelFormat_INVALID;

void scribble(const PF_EffectWorld &w, int pixel_size) {
    for (A_long y = 0; y < w.height; ++y) {
        unsigned char *row = static_cast<unsigned char *>(w.data) + std::ptrdiff_t(y) * w.rowbytes;
        for (A_long i = 0; i < w.width * pixel_size; ++i) row[i] ^= 0x5A;
    }
}

int pixelSizeOf(A_short bitdepth) { return bitdepth == 8 ? 4 : bitdepth == 16 ? 8 : 16; }

PF_Err lendEffect(PF_Cmd cmd, PF_InData *in_data, PF_OutData *, PF_ParamDef *[], PF_LayerDef *, void *extra) {
    switch (cmd) {
    case PF_Cmd_PARAMS_SETUP: {
        PF_ParamDef def{};
        def.param_type = PF_Param_LAYER;
        def.uu.id = L_OTHER;
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
        const int psize = pixelSizeOf(render->input->bitdepth);
        PF_EffectWorld *input = nullptr, *output = nullptr;
        PF_Err err = render->cb->checkout_layer_pixels(in_data->effect_ref, 0, &input);
        if (!err) err = render->cb->checkout_output(in_data->effect_ref, &output);
        const void *table = nullptr;
        if (!err && in_data->pica_basicP->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &table) == 0) {
            err = static_cast<const PF_WorldSuite2 *>(table)->PF_GetPixelFormat(input, &g_lent_format);
            in_data->pica_basicP->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
        }
        PF_ParamDef other{};
        if (!err)
            err = PF_CHECKOUT_PARAM(in_data, L_OTHER, in_data->current_time, in_data->time_step, in_data->time_scale,
                                    &other);
        if (!err) err = PF_COPY(g_source == L_INPUT ? input : &other.u.ld, output, nullptr, nullptr);
        if (!err && g_scribble) {
            scribble(*input, psize);
            if (other.u.ld.data) scribble(other.u.ld, psize);
        }
        if (other.param_type == PF_Param_LAYER) {
            const PF_Err in = PF_CHECKIN_PARAM(in_data, &other);
            if (!err) err = in;
        }
        if (input) {
            const PF_Err in = render->cb->checkin_layer_pixels(in_data->effect_ref, 0);
            if (!err) err = in;
        }
        return err;
    }
    default: return PF_Err_NONE;
    }
}

struct LendRig {
    Host host;
    explicit LendRig(Depth project) : host(options(project)) {
        host.SetEffect(&lendEffect);
        EXPECT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    }
    static vbhost::HostOptions options(Depth d) {
        vbhost::HostOptions o;
        o.project_depth = d;
        return o;
    }
};

float rangeMax(Depth d) { return d == Depth::k8 ? 255.0f : d == Depth::k16 ? 32768.0f : 1.0f; }

// Values across the depth's range, with some between whole steps, some beyond either end, NaNs and infinities,
// as a damaged or careless source may hold.
Image randomPicture(int w, int h, Depth d, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> unit(-0.05f, 1.05f);
    Image img(w, h, d);
    for (float &v : img.argb) v = unit(gen) * rangeMax(d);
    img.argb[1] = std::numeric_limits<float>::quiet_NaN();
    img.argb[2] = -std::numeric_limits<float>::quiet_NaN();
    img.argb[5] = std::numeric_limits<float>::infinity();
    img.argb[6] = -std::numeric_limits<float>::infinity();
    img.argb[7] = -0.0f;
    return img;
}

// The picture as a world of the project's depth holds it, made the plain way: shrunk, converted, then each
// whole-number channel rounded to nearest and clamped to its range (NaN as 0).
Image expectedDelivery(const Image &source, int downsample, Depth project) {
    Image out = vbhost::ConvertImage(vbhost::Downsample(source, downsample), project);
    if (project == Depth::k32) return out;
    const float hi = rangeMax(project);
    for (float &v : out.argb) v = std::isnan(v) || v < 0 ? 0.0f : v >= hi ? hi : std::floor(v + 0.5f);
    return out;
}

// Channel values equal, NaN equal to NaN; the first difference described.
std::string firstDifference(const Image &got, const Image &want) {
    if (got.width != want.width || got.height != want.height || got.depth != want.depth)
        return "size or depth differs: " + std::to_string(got.width) + "x" + std::to_string(got.height) + " vs " +
               std::to_string(want.width) + "x" + std::to_string(want.height);
    for (std::size_t i = 0; i < got.argb.size(); ++i) {
        const float a = got.argb[i], b = want.argb[i];
        if (a == b || (std::isnan(a) && std::isnan(b))) continue;
        return "channel " + std::to_string(i % 4) + " of pixel " + std::to_string(i / 4) + ": got " +
               std::to_string(a) + ", want " + std::to_string(b);
    }
    return "";
}

const char *name(Depth d) { return d == Depth::k8 ? "8-bit" : d == Depth::k16 ? "16-bit" : "float"; }

// ---------------------------------------------------------------- tests

TEST(HostLending, DeliversEachSourceDepthAsTheProjectDepthHoldsItAtEveryDownsample) {
    for (Depth source : {Depth::k8, Depth::k16, Depth::k32})
        for (Depth project : {Depth::k8, Depth::k16, Depth::k32})
            for (int downsample : {1, 3}) {
                const std::string which = std::string(name(source)) + " source in a " + name(project) +
                                          " project at 1/" + std::to_string(downsample);
                LendRig rig(project);
                const Image picture = randomPicture(13, 7, source, 17);
                rig.host.SetInputLayer(rig.host.AddLayer({{picture}}));
                vbhost::FrameRequest req;
                req.downsample = downsample;
                const vbhost::FrameResult r = rig.host.RenderFrame(req);
                ASSERT_EQ(r.render_err, PF_Err_NONE) << which;
                EXPECT_EQ(firstDifference(r.output, expectedDelivery(picture, downsample, project)), "")
                    << which;
                EXPECT_TRUE(rig.host.ledger().empty()) << which << ": " << rig.host.ledger().describe();
            }
}

TEST(HostLending, WritesIntoALentLayerAreCaughtAndDoNotReachTheNextFrame) {
    // Both ways a layer is lent: the input by checkout_layer_pixels, another by checkout_param.
    for (int source : {int(L_INPUT), int(L_OTHER)})
        for (Depth project : {Depth::k8, Depth::k32}) {
            const std::string which = std::string(source == L_INPUT ? "input" : "layer parameter") + ", " +
                                      name(project) + " project";
            LendRig rig(project);
            Host &host = rig.host;
            const Image input = randomPicture(9, 6, Depth::k8, 3), other = randomPicture(9, 6, Depth::k8, 4);
            host.SetInputLayer(host.AddLayer({{input}}));
            host.SetLayerParam(L_OTHER, host.AddLayer({{other}}));
            const Image want = expectedDelivery(source == L_INPUT ? input : other, 1, project);
            g_source = source;

            g_scribble = true;
            const vbhost::FrameResult spoilt = host.RenderFrame({});
            g_scribble = false;
            ASSERT_EQ(spoilt.render_err, PF_Err_NONE) << which;
            EXPECT_EQ(firstDifference(spoilt.output, want), "") << which << ": copied before the writes";
            EXPECT_EQ(host.ledger().damaged_worlds, 2) << which << ": both lent layers were written";

            const vbhost::FrameResult next = host.RenderFrame({});
            ASSERT_EQ(next.render_err, PF_Err_NONE) << which;
            EXPECT_EQ(firstDifference(next.output, want), "") << which << ": the next frame gets the layer as it is";
            EXPECT_EQ(host.ledger().damaged_worlds, 2) << which << ": nothing written the second time";
        }
    g_source = L_INPUT;
}

TEST(HostLending, ProjectDepthAndDownsampleChangedBetweenFramesAreHonoured) {
    LendRig rig(Depth::k8);
    Host &host = rig.host;
    const Image picture = randomPicture(10, 5, Depth::k8, 9);
    host.SetInputLayer(host.AddLayer({{picture}}));
    struct Step {
        Depth project;
        int downsample;
    } steps[] = {{Depth::k8, 1}, {Depth::k16, 1}, {Depth::k32, 2}, {Depth::k8, 2}, {Depth::k8, 1}};
    for (const Step &s : steps) {
        const std::string which = std::string(name(s.project)) + " at 1/" + std::to_string(s.downsample);
        host.SetProjectDepth(s.project);
        vbhost::FrameRequest req;
        req.downsample = s.downsample;
        const vbhost::FrameResult r = host.RenderFrame(req);
        ASSERT_EQ(r.render_err, PF_Err_NONE) << which;
        EXPECT_EQ(g_lent_format, vbhost::FormatOf(s.project)) << which << ": the layer is lent in the project's depth";
        EXPECT_EQ(firstDifference(r.output, expectedDelivery(picture, s.downsample, s.project)), "") << which;
    }
    EXPECT_TRUE(host.ledger().empty()) << host.ledger().describe();
}

// ---------------------------------------------------------------- layers given as packed pixels

// A packed picture of random values a world of its depth can hold (floats with NaN and infinities too), and the
// same values as an Image.
vbhost::PackedImage randomPacked(int w, int h, Depth d, unsigned seed) {
    std::mt19937 gen(seed);
    vbhost::PackedImage p;
    p.width = w;
    p.height = h;
    p.depth = d;
    const std::size_t channels = std::size_t(4) * w * h;
    p.bytes.resize(channels * std::size_t(vbhost::PixelSize(d)) / 4);
    for (std::size_t i = 0; i < channels; ++i) {
        if (d == Depth::k8) {
            p.bytes[i] = static_cast<unsigned char>(gen());
        } else if (d == Depth::k16) {
            const auto v = static_cast<A_u_short>(gen() % 32769);
            std::memcpy(&p.bytes[2 * i], &v, sizeof v);
        } else {
            float v = std::uniform_real_distribution<float>(-0.05f, 1.05f)(gen);
            if (i == 1) v = std::numeric_limits<float>::quiet_NaN();
            if (i == 5) v = std::numeric_limits<float>::infinity();
            std::memcpy(&p.bytes[4 * i], &v, sizeof v);
        }
    }
    return p;
}

Image imageOf(const vbhost::PackedImage &p) {
    Image img(p.width, p.height, p.depth);
    for (std::size_t i = 0; i < img.argb.size(); ++i) {
        if (p.depth == Depth::k8) {
            img.argb[i] = p.bytes[i];
        } else if (p.depth == Depth::k16) {
            A_u_short v;
            std::memcpy(&v, &p.bytes[2 * i], sizeof v);
            img.argb[i] = v;
        } else {
            std::memcpy(&img.argb[i], &p.bytes[4 * i], sizeof(float));
        }
    }
    return img;
}

// A layer given packed is lent as the same values given as a picture would be, at every source and project depth
// and downsample; a frame asked for packed output gives the output world's bytes and no picture.
TEST(HostLending, PackedLayersLendWhatTheSamePictureWould) {
    for (Depth source : {Depth::k8, Depth::k16, Depth::k32})
        for (Depth project : {Depth::k8, Depth::k16, Depth::k32})
            for (int downsample : {1, 3}) {
                const std::string which = std::string("packed ") + name(source) + " source in a " + name(project) +
                                          " project at 1/" + std::to_string(downsample);
                const vbhost::PackedImage packed = randomPacked(13, 7, source, 23);
                LendRig viaPacked(project), viaImage(project);
                viaPacked.host.SetInputLayer(viaPacked.host.AddPackedLayer(packed));
                viaImage.host.SetInputLayer(viaImage.host.AddLayer({{imageOf(packed)}}));
                vbhost::FrameRequest req;
                req.downsample = downsample;
                const vbhost::FrameResult got = viaPacked.host.RenderFrame(req);
                const vbhost::FrameResult want = viaImage.host.RenderFrame(req);
                ASSERT_EQ(got.render_err, PF_Err_NONE) << which;
                ASSERT_EQ(want.render_err, PF_Err_NONE) << which;
                EXPECT_EQ(firstDifference(got.output, want.output), "") << which;
                EXPECT_TRUE(got.packed_output.bytes.empty()) << which << ": packed output only when asked for";

                req.packed_output = true;
                const vbhost::FrameResult packedOut = viaPacked.host.RenderFrame(req);
                ASSERT_EQ(packedOut.render_err, PF_Err_NONE) << which;
                EXPECT_TRUE(packedOut.output.argb.empty()) << which << ": no picture beside the packed output";
                EXPECT_EQ(packedOut.packed_output.depth, project) << which;
                EXPECT_EQ(firstDifference(imageOf(packedOut.packed_output), want.output), "") << which;
                EXPECT_TRUE(viaPacked.host.ledger().empty()) << which << ": " << viaPacked.host.ledger().describe();
            }
}

TEST(HostLending, PackedLayerWithoutBytesIsTransparentAndBadSizesAreRefused) {
    for (Depth project : {Depth::k8, Depth::k16, Depth::k32})
        for (int downsample : {1, 2}) {
            const std::string which = std::string(name(project)) + " at 1/" + std::to_string(downsample);
            LendRig rig(project);
            rig.host.SetInputLayer(rig.host.AddPackedLayer(vbhost::PackedImage{9, 5, Depth::k8, {}}));
            vbhost::FrameRequest req;
            req.downsample = downsample;
            const vbhost::FrameResult r = rig.host.RenderFrame(req);
            ASSERT_EQ(r.render_err, PF_Err_NONE) << which;
            const Image transparent((9 + downsample - 1) / downsample, (5 + downsample - 1) / downsample, project);
            EXPECT_EQ(firstDifference(r.output, transparent), "") << which;
            // Lent zeros are checked on return like any other pixels.
            g_scribble = true;
            const vbhost::FrameResult spoilt = rig.host.RenderFrame(req);
            g_scribble = false;
            ASSERT_EQ(spoilt.render_err, PF_Err_NONE) << which;
            EXPECT_EQ(rig.host.ledger().damaged_worlds, 1) << which << ": the transparent input was written";
            EXPECT_EQ(firstDifference(rig.host.RenderFrame(req).output, transparent), "") << which << ": next frame";
        }
    LendRig rig(Depth::k8);
    EXPECT_THROW(rig.host.AddPackedLayer(vbhost::PackedImage{4, 4, Depth::k16, std::vector<unsigned char>(64)}),
                 std::invalid_argument)
        << "16 pixels of 16-bit channels need 128 bytes";
    EXPECT_THROW(rig.host.AddPackedLayer(vbhost::PackedImage{-1, 4, Depth::k8, {}}), std::invalid_argument);
}

}  // namespace
