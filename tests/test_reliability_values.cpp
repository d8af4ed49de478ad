// Bad values from the host or a damaged project: parameter values outside their valid ranges, NaN and
// infinities, degenerate and oversized layer worlds, pixels outside their nominal range, null records. Each has
// one sound outcome: a clamp to the valid range (compared with a render at the clamped value), a pass-through,
// or nothing drawn; never a crash, a hang or an access outside what was made.
#include "test_reliability_support.h"

#include "synthesis/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <set>

namespace {

using namespace reliability;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

int g_bad_values = 0;  // how many bad values the tests below tried, printed at the end

struct Setting {
    int index;
    double value;
};

// A wide scene at oversampling 1: wide enough for a period of 400 to be drawn.
Scene WideScene() {
    Scene scene(Depth::k8, 20, BlockDepth(480, 6), TexturePicture(12, 8), InputPicture(480, 6));
    scene.Set(PARAM_OVERSAMPLING, 1);
    return scene;
}

// ---- parameter values ----

enum class Outcome { kLike, kPassThrough };

struct ValueCase {
    const char *name;
    bool wide;
    std::vector<Setting> before;  // set in both renders first
    int index;
    double bad;
    Outcome outcome;
    double like;      // kLike: the valid value the bad one must render as
    double distinct;  // a valid value that renders differently, so the comparison can tell
};

TEST(DamagedValues, ParameterValuesClampOrPassThrough) {
    const std::vector<Setting> post_on = {{PARAM_POST_ENABLE, 1}};
    const std::vector<Setting> blur_2 = {{PARAM_BLUR, 2}};
    // The Repetition Period, Oversampling, Blur and Sharpen are held to their valid ranges (NaN to the lowest
    // value); unknown Texture Transform and Stereogram Type choices render as their defaults; an unknown Pattern
    // has no pattern source, so the layer passes through; Enable counts as on only above 0.
    const ValueCase cases[] = {
        {"period 0", true, {}, PARAM_PERIOD, 0, Outcome::kLike, 10, 20},
        {"period negative", true, {}, PARAM_PERIOD, -35, Outcome::kLike, 10, 20},
        {"period NaN", true, {}, PARAM_PERIOD, kNaN, Outcome::kLike, 10, 20},
        {"period -infinity", true, {}, PARAM_PERIOD, -kInf, Outcome::kLike, 10, 20},
        {"period +infinity", true, {}, PARAM_PERIOD, kInf, Outcome::kLike, 400, 20},
        {"period 1e9", true, {}, PARAM_PERIOD, 1e9, Outcome::kLike, 400, 20},
        {"oversampling 0", false, {}, PARAM_OVERSAMPLING, 0, Outcome::kLike, 1, 2},
        {"oversampling negative", false, {}, PARAM_OVERSAMPLING, -4, Outcome::kLike, 1, 2},
        {"oversampling 1000", false, {}, PARAM_OVERSAMPLING, 1000, Outcome::kLike, 10, 2},
        {"oversampling NaN", false, {}, PARAM_OVERSAMPLING, kNaN, Outcome::kLike, 1, 2},
        {"pattern 0", false, {}, PARAM_PATTERN, 0, Outcome::kPassThrough, 0, 3},
        {"pattern 4", false, {}, PARAM_PATTERN, 4, Outcome::kPassThrough, 0, 3},
        {"pattern negative", false, {}, PARAM_PATTERN, -1, Outcome::kPassThrough, 0, 3},
        {"pattern 0 with post-processing", false, {{PARAM_POST_ENABLE, 1}, {PARAM_BLUR, 3}}, PARAM_PATTERN, 0,
         Outcome::kPassThrough, 0, 3},
        {"texture transform 0", false, {}, PARAM_TEXTURE_TRANSFORM, 0, Outcome::kLike, 1, 2},
        {"texture transform 4", false, {}, PARAM_TEXTURE_TRANSFORM, 4, Outcome::kLike, 1, 2},
        {"texture transform negative", false, {}, PARAM_TEXTURE_TRANSFORM, -7, Outcome::kLike, 1, 2},
        {"stereogram type 0", false, {}, PARAM_STEREOGRAM_TYPE, 0, Outcome::kLike, 2, 1},
        {"stereogram type 4", false, {}, PARAM_STEREOGRAM_TYPE, 4, Outcome::kLike, 2, 1},
        {"stereogram type negative", false, {}, PARAM_STEREOGRAM_TYPE, -2, Outcome::kLike, 2, 1},
        {"enable negative", false, blur_2, PARAM_POST_ENABLE, -1, Outcome::kLike, 0, 1},
        {"enable 2", false, blur_2, PARAM_POST_ENABLE, 2, Outcome::kLike, 1, 0},
        {"blur negative", false, post_on, PARAM_BLUR, -3, Outcome::kLike, 0, 2},
        {"blur NaN", false, post_on, PARAM_BLUR, kNaN, Outcome::kLike, 0, 2},
        {"blur -infinity", false, post_on, PARAM_BLUR, -kInf, Outcome::kLike, 0, 2},
        {"blur huge", false, post_on, PARAM_BLUR, 1e12, Outcome::kLike, 100, 2},
        {"blur +infinity", false, post_on, PARAM_BLUR, kInf, Outcome::kLike, 100, 2},
        {"sharpen negative", false, post_on, PARAM_SHARPEN, -3, Outcome::kLike, 0, 2},
        {"sharpen NaN", false, post_on, PARAM_SHARPEN, kNaN, Outcome::kLike, 0, 2},
        {"sharpen huge", false, post_on, PARAM_SHARPEN, 1e12, Outcome::kLike, 100, 2},
        {"sharpen +infinity", false, post_on, PARAM_SHARPEN, kInf, Outcome::kLike, 100, 2},
    };
    for (const ValueCase &c : cases) {
        auto make = [&c]() {
            Scene scene = c.wide ? WideScene() : Scene();
            for (const Setting &s : c.before) scene.Set(s.index, s.value);
            return scene;
        };
        Scene damaged = make();
        damaged.host->ForceParamValue(c.index, c.bad);
        const Image bad = damaged.RenderOk(std::string(c.name) + ": damaged");
        ++g_bad_values;

        Scene reference = make();
        Image expected;
        if (c.outcome == Outcome::kPassThrough) {
            expected = c.wide ? InputPicture(480, 6) : InputPicture(Scene::kWidth, Scene::kHeight);
        } else {
            reference.Set(c.index, c.like);
            expected = reference.RenderOk(std::string(c.name) + ": reference");
        }
        EXPECT_EQ(FirstDifference(bad, expected), "") << c.name;

        Scene other = make();
        other.Set(c.index, c.distinct);
        EXPECT_NE(FirstDifference(other.RenderOk(std::string(c.name) + ": distinct"), expected), "")
            << c.name << ": the value " << c.distinct << " must render differently, or the case shows nothing";
    }
}

// In-data fields a host could get wrong. A downsample factor that is no resolution at all (zero or negative
// numerator, zero denominator, absurdly large) renders as full resolution; an extent hint beyond the frame
// sharpens the whole frame, and an empty one sharpens nothing, leaving the blurred stereogram.
TEST(DamagedValues, InDataFromTheHost) {
    struct Case {
        const char *name;
        std::function<void(PF_InData *)> bend;
        double sharpen_like;  // the Sharpen value of the equivalent sound frame
    };
    const Case cases[] = {
        {"downsample 0/1", [](PF_InData *in) { in->downsample_x = PF_RationalScale{0, 1}; }, 3},
        {"downsample -1/1", [](PF_InData *in) { in->downsample_x = PF_RationalScale{-1, 1}; }, 3},
        {"downsample 1/0", [](PF_InData *in) { in->downsample_x = PF_RationalScale{1, 0}; }, 3},
        {"downsample huge", [](PF_InData *in) { in->downsample_x = PF_RationalScale{2147483647, 1}; }, 3},
        {"downsample most negative",
         [](PF_InData *in) { in->downsample_x = PF_RationalScale{-2147483647 - 1, 1}; }, 3},
        {"extent hint beyond the frame", [](PF_InData *in) { in->extent_hint = PF_LRect{-50, -60, 5000, 7000}; }, 3},
        {"extent hint inverted", [](PF_InData *in) { in->extent_hint = PF_LRect{30, 10, 5, 2}; }, 0},
        {"extent hint far outside", [](PF_InData *in) { in->extent_hint = PF_LRect{9000, 9000, 9100, 9100}; }, 0},
    };
    for (const Case &c : cases) {
        Scene damaged;
        damaged.PostProcessing(true, 1, 3);
        Image bad;
        {
            HookScope hook([&c](PF_Cmd cmd, PF_InData *in, void *) {
                if (cmd == PF_Cmd_SMART_PRE_RENDER || cmd == PF_Cmd_SMART_RENDER) c.bend(in);
            });
            bad = damaged.RenderOk(std::string(c.name) + ": damaged");
        }
        ++g_bad_values;
        Scene reference;
        reference.PostProcessing(true, 1, c.sharpen_like);
        EXPECT_EQ(FirstDifference(bad, reference.RenderOk(std::string(c.name) + ": reference")), "") << c.name;
    }
    // Both outcomes differ from each other, so each comparison can tell.
    Scene sharpened, unsharpened;
    sharpened.PostProcessing(true, 1, 3);
    unsharpened.PostProcessing(true, 1, 0);
    EXPECT_NE(FirstDifference(sharpened.RenderOk("sharpened"), unsharpened.RenderOk("unsharpened")), "");
}

// Dot Contrast is held to 0..100: below (or NaN) every colour channel is a plain draw of 0 to 254; above, the
// factor of 100 % pushes every channel to 0, 128 or 255. Outside the range the factor would turn negative or
// infinite, and NaN would reach an integer conversion.
TEST(DamagedValues, DotContrastIsHeldToItsRange) {
    struct Case {
        const char *name;
        double contrast;
        bool like_full;  // false: like 0 %
    } cases[] = {
        {"NaN", kNaN, false}, {"negative", -40, false}, {"-infinity", -kInf, false},
        {"101", 101, true},   {"1e9", 1e9, true},       {"+infinity", kInf, true},
        {"0 (valid)", 0, false}, {"100 (valid)", 100, true},
    };
    auto render = [](double contrast, bool force) {
        Scene scene(Depth::k8, 20, Grey(Scene::kWidth, Scene::kHeight, 128));
        scene.Set(PARAM_PATTERN, PATTERN_RANDOM_COLOR_DOTS);
        scene.Set(PARAM_OVERSAMPLING, 1);
        if (force) scene.host->ForceParamValue(PARAM_DOT_CONTRAST, contrast);
        else scene.Set(PARAM_DOT_CONTRAST, contrast);
        return scene.RenderOk("contrast " + std::to_string(contrast));
    };
    auto colours = [](const Image &img) {
        std::set<float> values;
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x)
                for (int c = 1; c < 4; ++c) values.insert(img.at(x, y)[c]);
        return values;
    };
    const std::set<float> extremes = {0.0f, 128.0f, 255.0f};
    // At 50 % both checks below would fail: the checks can tell.
    const std::set<float> mid = colours(render(50, false));
    ASSERT_TRUE(mid.count(255.0f)) << "50 % must reach 255";
    ASSERT_GT(mid.size(), extremes.size()) << "50 % must leave values between the extremes";

    for (const Case &c : cases) {
        const std::set<float> values = colours(render(c.contrast, true));
        ++g_bad_values;
        if (c.like_full) {
            for (float v : values) EXPECT_TRUE(extremes.count(v)) << c.name << ": channel value " << v;
        } else {
            EXPECT_FALSE(values.count(255.0f)) << c.name << ": a plain draw never gives 255";
            EXPECT_GT(values.size(), 100u) << c.name << ": a plain draw spreads over 0 to 254";
        }
    }
}

// ---- layer worlds ----

// The separation, in output pixels at oversampling 1, of a flat depth map of luminance lum.
int FlatSeparation(int width, double period, int lum) {
    const StereogramGeometry g = ComputeGeometry(width, period, 1, 2);
    return SeparationOfDepth(g, DepthOfLuminance(g, lum));
}

// "" when row y repeats with period sep over its whole width and, if asked, is drawn (no pixel left cleared);
// else the first fault.
std::string RowRepeats(const Image &img, int y, int sep, bool drawn = true) {
    for (int x = 0; x < img.width; ++x) {
        const float *p = img.at(x, y);
        if (drawn && p[0] == 0.0f && p[1] == 0.0f && p[2] == 0.0f && p[3] == 0.0f)
            return "pixel " + std::to_string(x) + " not drawn";
        if (x + sep < img.width)
            for (int c = 0; c < 4; ++c)
                if (img.at(x, y)[c] != img.at(x + sep, y)[c])
                    return "pixel " + std::to_string(x) + " differs from pixel " + std::to_string(x + sep);
    }
    return "";
}

bool AllZero(const Image &img) {
    for (float v : img.argb)
        if (v != 0.0f) return false;
    return true;
}

TEST(DamagedWorlds, DegenerateDepthMapSizes) {
    // Too narrow for one strip: nothing is written and the output stays as the host gave it (cleared).
    for (auto size : {std::pair<int, int>{1, 1}, {1, 16}, {2, 40}, {19, 3}}) {
        for (Depth d : {Depth::k8, Depth::k32}) {
            const std::string name = "depth " + std::to_string(size.first) + "x" + std::to_string(size.second) +
                                     " at " + std::to_string(int(d)) + " bits";
            Scene scene(d, 20, Grey(size.first, size.second, 200));
            scene.Set(PARAM_PATTERN, PATTERN_RANDOM_DOTS);
            EXPECT_TRUE(AllZero(scene.RenderOk(name))) << name;
            ++g_bad_values;
        }
    }
    // One row high: that row is drawn, the rest kept.
    Scene scene(Depth::k8, 20, Grey(Scene::kWidth, 1, 128));
    scene.Set(PARAM_PATTERN, PATTERN_RANDOM_COLOR_DOTS);
    scene.Set(PARAM_OVERSAMPLING, 1);
    const Image out = scene.RenderOk("depth 48x1");
    ++g_bad_values;
    EXPECT_EQ(RowRepeats(out, 0, FlatSeparation(Scene::kWidth, 20, 128)), "");
    Image rest(out.width, out.height - 1, out.depth);
    for (int y = 1; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int c = 0; c < 4; ++c) rest.at(x, y - 1)[c] = out.at(x, y)[c];
    EXPECT_TRUE(AllZero(rest)) << "rows below a one-row depth map are not written";
}

// A texture far smaller or larger than the period, both transforms: every row still repeats with the depth's
// separation and is fully drawn.
TEST(DamagedWorlds, TexturesFarFromThePeriod) {
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {200, 3}, {3, 200}, {1000, 1}, {1, 1000}};
    const int sep = FlatSeparation(Scene::kWidth, 20, 128);
    for (Depth d : {Depth::k8, Depth::k16}) {
        for (const auto &size : sizes) {
            for (A_long transform : {TEXTURE_CROPPING, TEXTURE_RESIZING}) {
                const std::string name = "texture " + std::to_string(size.first) + "x" + std::to_string(size.second) +
                                         (transform == TEXTURE_CROPPING ? " cropped" : " resized") + " at " +
                                         std::to_string(int(d)) + " bits";
                Scene scene(d, 20, Grey(Scene::kWidth, Scene::kHeight, 128), TexturePicture(size.first, size.second));
                scene.Set(PARAM_OVERSAMPLING, 1);
                scene.Set(PARAM_TEXTURE_TRANSFORM, transform);
                const Image out = scene.RenderOk(name);
                ++g_bad_values;
                // Resized to the period, a texture flatter than 20 : 1 is less than one row high: its one working
                // row is what the host's transform draws of it there, which may be transparent black.
                const bool under_one_row = transform == TEXTURE_RESIZING && size.second * 20 < size.first;
                for (int y = 0; y < out.height; ++y) {
                    const std::string fault = RowRepeats(out, y, sep, !under_one_row);
                    EXPECT_EQ(fault, "") << name << ", row " << y;
                    if (!fault.empty()) break;
                }
            }
        }
    }
}

// Rows with spare bytes at their ends, of several sizes (none, a little, more than a row): the pictures are the
// same, at every depth and with post-processing, so nothing assumes that rows are packed.
TEST(DamagedWorlds, RowPaddingChangesNothing) {
    for (Depth d : {Depth::k8, Depth::k16, Depth::k32}) {
        Image first;
        for (int padding : {0, 4, 20, 1000}) {
            const std::string name = std::to_string(int(d)) + " bits, padding " + std::to_string(padding);
            Scene scene(d, padding);
            scene.Set(PARAM_TEXTURE_TRANSFORM, TEXTURE_RESIZING);
            scene.PostProcessing(true, 1, 1);
            const Image out = scene.RenderOk(name);
            ++g_bad_values;
            if (first.width == 0) first = out;
            else EXPECT_EQ(FirstDifference(out, first), "") << name;
        }
    }
}

// Writes one raw channel value into every channel of every pixel of a world of the given depth.
void FillRaw(PF_EffectWorld *world, Depth depth, double value) {
    for (A_long y = 0; y < world->height; ++y) {
        char *row = static_cast<char *>(world->data) + std::ptrdiff_t(y) * world->rowbytes;
        for (A_long i = 0; i < world->width * 4; ++i) {
            if (depth == Depth::k32) reinterpret_cast<float *>(row)[i] = float(value);
            else if (depth == Depth::k16) reinterpret_cast<A_u_short *>(row)[i] = A_u_short(value);
            else reinterpret_cast<A_u_char *>(row)[i] = A_u_char(value);
        }
    }
}

// Pixels outside the nominal range reach the effect only from a host or an input that breaks the rules: float
// NaN and infinities, 16-bit values above 32768. They convert to the nearest 8-bit value (NaN as 0), so the
// frame equals one made from a legal picture of that value.
TEST(DamagedWorlds, PixelsOutsideTheirRange) {
    struct Case {
        const char *name;
        Depth depth;
        PF_ParamIndex layer;
        double raw;
        int like;  // the 8-bit value of the equivalent legal picture
    } cases[] = {
        {"depth NaN", Depth::k32, PARAM_DEPTH_LAYER, kNaN, 0},
        {"depth +infinity", Depth::k32, PARAM_DEPTH_LAYER, kInf, 255},
        {"depth -infinity", Depth::k32, PARAM_DEPTH_LAYER, -kInf, 0},
        {"depth 1e30", Depth::k32, PARAM_DEPTH_LAYER, 1e30, 255},
        {"depth 16-bit 65535", Depth::k16, PARAM_DEPTH_LAYER, 65535, 255},
        {"depth 16-bit 40000", Depth::k16, PARAM_DEPTH_LAYER, 40000, 255},
        {"texture NaN", Depth::k32, PARAM_TEXTURE_LAYER, kNaN, 0},
        {"texture +infinity", Depth::k32, PARAM_TEXTURE_LAYER, kInf, 255},
        {"texture 16-bit 65535", Depth::k16, PARAM_TEXTURE_LAYER, 65535, 255},
    };
    for (const Case &c : cases) {
        const bool depth_layer = c.layer == PARAM_DEPTH_LAYER;
        // The layer that is not damaged keeps a legal picture that shows its effect on the frame.
        const Image legal_depth = depth_layer ? Grey(Scene::kWidth, Scene::kHeight, c.like) : BlockDepth(Scene::kWidth, Scene::kHeight);
        const Image legal_texture = depth_layer ? TexturePicture(12, 8)
                                                : Picture(12, 8, [&c](int, int) {
                                                      return std::array<int, 4>{c.like, c.like, c.like, c.like};
                                                  });
        Image bad;
        {
            // The damaged layer starts as a different legal picture, so a frame that missed the damage shows it.
            // The layer's own pixels are lent read-only; the damaged ones come in a world of the host's of the
            // same size, handed over in their place.
            Scene scene(c.depth, 20, depth_layer ? BlockDepth(Scene::kWidth, Scene::kHeight) : legal_depth,
                        depth_layer ? legal_texture : TexturePicture(12, 8));
            const Image &legal = depth_layer ? legal_depth : legal_texture;
            PF_EffectWorld *damaged = scene.host->MakeWorld(legal.width, legal.height, c.depth);
            FillRaw(damaged, c.depth, c.raw);
            {
                BendScope bend([&c, damaged](PF_ParamIndex index, PF_EffectWorld *world) {
                    if (index == c.layer) *world = *damaged;
                });
                bad = scene.RenderOk(std::string(c.name) + ": damaged");
            }
            scene.host->FreeWorld(damaged);
        }
        ++g_bad_values;
        Scene reference(c.depth, 20, legal_depth, legal_texture);
        EXPECT_EQ(FirstDifference(bad, reference.RenderOk(std::string(c.name) + ": reference")), "") << c.name;
    }
}

// A depth map wider than any world the host can make (30000 pixels) cannot get a working copy: the render
// succeeds without writing anything, reads nothing beyond the pixels it was given, and releases everything.
TEST(DamagedWorlds, DepthMapWiderThanAnyWorld) {
    for (Depth d : {Depth::k8, Depth::k16, Depth::k32}) {
        const int pixel = d == Depth::k8 ? 4 : d == Depth::k16 ? 8 : 16;
        const A_long width = 30001, height = 2, rowbytes = width * pixel + 12;
        std::vector<char> memory(std::size_t(rowbytes) * height, 0x40);
        Scene scene(d);
        scene.Set(PARAM_PATTERN, PATTERN_RANDOM_DOTS);
        BendScope bend([&](PF_ParamIndex index, PF_EffectWorld *world) {
            if (index != PARAM_DEPTH_LAYER) return;
            world->data = memory.data();
            world->width = width;
            world->height = height;
            world->rowbytes = rowbytes;
        });
        const std::string name = "30001 pixels wide at " + std::to_string(int(d)) + " bits";
        EXPECT_TRUE(AllZero(scene.RenderOk(name))) << name;
        ++g_bad_values;
    }
}

// ---- null records ----

TEST(DamagedRecords, NullArgumentsThroughEffectMain) {
    Scene scene;
    Host &host = *scene.host;
    PF_InData *in = &host.in_data();
    PF_OutData *out = &host.out_data();
    std::vector<PF_ParamDef> copies = host.param_defs();
    std::vector<PF_ParamDef *> params;
    for (PF_ParamDef &d : copies) params.push_back(&d);
    std::vector<PF_ParamDef *> holed = params;
    holed[PARAM_POST_ENABLE] = nullptr;
    PF_UserChangedParamExtra changed{PARAM_PATTERN};
    PF_PreRenderOutput pre_out{};
    PF_PreRenderExtra pre_no_input{nullptr, &pre_out, nullptr};
    PF_SmartRenderExtra render_no_input{nullptr, nullptr};

    struct Case {
        const char *name;
        PF_Cmd cmd;
        PF_InData *in;
        PF_OutData *out;
        PF_ParamDef **params;
        void *extra;
    } cases[] = {
        {"UI update, no parameter array", PF_Cmd_UPDATE_PARAMS_UI, in, out, nullptr, nullptr},
        {"UI update, a parameter missing", PF_Cmd_UPDATE_PARAMS_UI, in, out, holed.data(), nullptr},
        {"changed parameter, no parameter array", PF_Cmd_USER_CHANGED_PARAM, in, out, nullptr, &changed},
        {"changed parameter, a parameter missing", PF_Cmd_USER_CHANGED_PARAM, in, out, holed.data(), &changed},
        {"pre-render, no extra", PF_Cmd_SMART_PRE_RENDER, in, out, params.data(), nullptr},
        {"pre-render, extra without input", PF_Cmd_SMART_PRE_RENDER, in, out, params.data(), &pre_no_input},
        {"render, no extra", PF_Cmd_SMART_RENDER, in, out, params.data(), nullptr},
        {"render, extra without input", PF_Cmd_SMART_RENDER, in, out, params.data(), &render_no_input},
        {"parameter setup, no in-data", PF_Cmd_PARAMS_SETUP, nullptr, out, nullptr, nullptr},
        {"about, no out-data", PF_Cmd_ABOUT, in, nullptr, nullptr, nullptr},
        {"global setup, no out-data", PF_Cmd_GLOBAL_SETUP, in, nullptr, nullptr, nullptr},
        {"render, no in-data", PF_Cmd_SMART_RENDER, nullptr, out, params.data(), nullptr},
    };
    for (const Case &c : cases) {
        host.ClearCalls();
        const size_t updates = host.ui_updates().size();
        EXPECT_EQ(EffectMain(c.cmd, c.in, c.out, c.params, nullptr, c.extra), PF_Err_BAD_CALLBACK_PARAM) << c.name;
        EXPECT_TRUE(host.calls().empty()) << c.name << ": refused before calling the host";
        EXPECT_EQ(host.ui_updates().size(), updates) << c.name << ": no control changed";
        EXPECT_TRUE(host.ledger().empty()) << c.name << ": " << host.ledger().describe();
        ++g_bad_values;
    }
    // The changed-parameter command does not need its extra record: without it the controls are updated all
    // the same.
    host.ClearCalls();
    EXPECT_EQ(EffectMain(PF_Cmd_USER_CHANGED_PARAM, in, out, params.data(), nullptr, nullptr), PF_Err_NONE);
    EXPECT_EQ(scene.Count("PF_UpdateParamUI"), 5);
    ++g_bad_values;
}

// Prints the number of bad values tried once the tests above have run.
class CountPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        if (g_bad_values > 0) std::cout << "[ damaged values ] " << g_bad_values << " bad values tried\n";
    }
};
const auto *const kCountPrinter = ::testing::AddGlobalTestEnvironment(new CountPrinter);

}  // namespace
