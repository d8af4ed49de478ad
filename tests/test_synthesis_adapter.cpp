// The stereogram generator inside the stand-in host: bit depths, placement, narrow pictures, the working
// texture, bad record values, and every host resource released whichever host call fails.
#include "host/host.h"
#include "render/pixels.h"
#include "render/render_info.h"
#include "synthesis/geometry.h"
#include "synthesis/pattern_sources.h"
#include "synthesis/render_stereogram.h"
#include "synthesis/row_synthesis.h"
#include "test_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using vbhost::Depth;
using vbhost::Host;
using vbhost::HostOptions;
using vbhost::Image;

const char *Name(Depth d) { return d == Depth::k8 ? "8-bit" : d == Depth::k16 ? "16-bit" : "float"; }

using test_pictures::Picture;

// Steps and a slope, with uneven channels so the luminance is a real mean.
Image DepthPicture(int w, int h) {
    return Picture(w, h, [w](int x, int y) {
        int v = (x * 255) / (w - 1);
        if ((x / 23 + y / 5) % 3 == 0) v = 230;
        return std::array<int, 4>{255, v, v > 3 ? v - 3 : v, v < 250 ? v + 5 : v};
    });
}

// Colours that exercise the widening rules (0, 1, 128, 255) and some transparency.
Image TexturePicture(int w, int h) {
    static const int levels[] = {0, 1, 128, 255, 77, 200};
    return Picture(w, h, [](int x, int y) {
        return std::array<int, 4>{(x + y) % 5 == 0 ? 0 : 255, levels[x % 6], levels[(x + y) % 6], levels[y % 6]};
    });
}

// One host with a depth map, an optional texture and an output pre-filled with a marker colour.
struct Scene {
    Depth depth;
    std::unique_ptr<Host> host;
    PF_EffectWorld *depthWorld = nullptr;
    PF_EffectWorld *textureWorld = nullptr;
    PF_EffectWorld *output = nullptr;
    RenderInfo info;
    Image marker;

    Scene(Depth d, const Image &depthMap, int outW, int outH, const Image *texture = nullptr) : depth(d) {
        HostOptions o;
        o.project_depth = d;
        host = std::make_unique<Host>(o);
        depthWorld = host->MakeWorld(vbhost::ConvertImage(depthMap, d));
        if (texture) textureWorld = host->MakeWorld(vbhost::ConvertImage(*texture, d));
        marker = vbhost::ConvertImage(
            Picture(outW, outH, [](int x, int y) { return std::array<int, 4>{77, 11, (x * 7) % 256, y % 256}; }), d);
        output = host->MakeWorld(marker);
        std::memset(&info, 0, sizeof info);
        info.depth_world = *depthWorld;
        if (textureWorld) info.texture_world = *textureWorld;
        info.pattern = 1;
        info.dot_contrast = 50;
        info.texture_transform = 1;
        info.stereogram_type = 2;
        info.period = 40;
        info.oversampling = 1;
    }
    ~Scene() {
        host->FreeWorld(output);
        if (textureWorld) host->FreeWorld(textureWorld);
        host->FreeWorld(depthWorld);
    }

    // Renders, and reports a thrown suite failure as its integer (0 when none was thrown).
    A_long Render() {
        try {
            RenderStereogram(&host->in_data(), &host->out_data(), output, &info);
        } catch (A_long e) {
            return e;
        }
        return 0;
    }
    Image Output() const { return host->ReadWorld(*output); }
};

bool SameImage(const Image &a, const Image &b) { return a.width == b.width && a.height == b.height && a.argb == b.argb; }

int CountDiffering(const Image &a, const Image &b) {
    int n = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            n += std::memcmp(a.at(x, y), b.at(x, y), 4 * sizeof(float)) != 0;
    return n;
}

// The 8-bit value v as the generator writes it into an output of depth d.
float Widened(float v, Depth d) {
    const A_u_char c = A_u_char(v);
    const PF_Pixel8 p{c, c, c, c};
    if (d == Depth::k16) return float(ConvertPixel8ToPixel16(p).red);
    if (d == Depth::k32) return ConvertPixel8ToPixel32(p).red;
    return v;
}

// ---------------------------------------------------------------- bit depths

TEST(Adapter, SameStereogramAtEveryDepth) {
    const Image depthMap = DepthPicture(240, 24);
    const Image texture = TexturePicture(37, 19);
    Image eight;
    for (Depth d : {Depth::k8, Depth::k16, Depth::k32}) {
        for (int oversampling : {1, 3}) {
            Scene s(d, depthMap, 240, 24, &texture);
            s.info.pattern = 3;
            s.info.texture_transform = 1;
            s.info.oversampling = oversampling;
            s.info.stereogram_type = oversampling == 1 ? 2 : 1;
            ASSERT_EQ(s.Render(), 0);
            EXPECT_TRUE(s.host->ledger().empty()) << Name(d) << ": " << s.host->ledger().describe();
            const Image out = s.Output();
            if (d == Depth::k8) {
                if (oversampling == 1) eight = out;
                ASSERT_EQ(CountDiffering(out, s.marker), 240 * 24) << "every pixel is drawn";
                continue;
            }
            // The 8-bit render of the same settings, widened channel by channel, is the deep render exactly.
            Scene s8(Depth::k8, depthMap, 240, 24, &texture);
            s8.info = s.info;
            s8.info.depth_world = *s8.depthWorld;
            s8.info.texture_world = *s8.textureWorld;
            ASSERT_EQ(s8.Render(), 0);
            const Image out8 = s8.Output();
            for (size_t i = 0; i < out.argb.size(); ++i) {
                ASSERT_EQ(out.argb[i], Widened(out8.argb[i], d))
                    << Name(d) << " oversampling " << oversampling << " channel value " << i;
            }
        }
    }
    // At oversampling 1 every output value is a texture value, so the widening table shows in full.
    std::set<float> values(eight.argb.begin(), eight.argb.end());
    for (float v : {0.0f, 1.0f, 128.0f, 255.0f}) EXPECT_TRUE(values.count(v)) << "value " << v << " drawn";
}

TEST(Adapter, DeepOutputsWidenByTheChannelRules) {
    // A one-colour texture at oversampling 1 paints every output pixel with its exact channels.
    struct Case {
        Depth depth;
        int channel;
        float expected;
    } cases[] = {
        {Depth::k16, 255, 32768.0f}, {Depth::k16, 128, 16448.0f},     {Depth::k16, 1, 128.0f},
        {Depth::k16, 0, 0.0f},       {Depth::k32, 255, 1.0f},         {Depth::k32, 128, 128.0f / 255.0f},
        {Depth::k32, 1, 1.0f / 255.0f}, {Depth::k32, 0, 0.0f},
    };
    for (const auto &c : cases) {
        const Image texture = Picture(8, 8, [&](int, int) { return std::array<int, 4>{255, c.channel, c.channel, c.channel}; });
        Scene s(c.depth, DepthPicture(150, 4), 150, 4, &texture);
        s.info.pattern = 3;
        ASSERT_EQ(s.Render(), 0);
        const Image out = s.Output();
        for (int x = 0; x < 150; ++x) {
            ASSERT_EQ(out.at(x, 2)[1], c.expected) << Name(c.depth) << " channel " << c.channel << " at " << x;
            ASSERT_EQ(out.at(x, 2)[0], c.depth == Depth::k16 ? 32768.0f : 1.0f) << Name(c.depth) << " alpha at " << x;
        }
    }
}

// The generator's 8-bit output is the row synthesis run on the same depth map and texture: strides, row order and
// the placement of the texture all survive the trip through host worlds with padded rows.
TEST(Adapter, EightBitOutputIsTheRowSynthesis) {
    const Image depthMap = DepthPicture(300, 12);
    const Image texture = TexturePicture(45, 31);
    Scene s(Depth::k8, depthMap, 300, 12, &texture);
    s.info.pattern = 3;
    s.info.oversampling = 2;
    s.info.period = 55;
    ASSERT_EQ(s.Render(), 0);
    const Image out = s.Output();

    auto pixels = [](const Image &img) {
        std::vector<PF_Pixel8> p(size_t(img.width) * img.height);
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) {
                const float *v = img.at(x, y);
                p[size_t(y) * img.width + x] = PF_Pixel8{A_u_char(v[0]), A_u_char(v[1]), A_u_char(v[2]), A_u_char(v[3])};
            }
        return p;
    };
    const std::vector<PF_Pixel8> depthPixels = pixels(depthMap), texturePixels = pixels(texture);
    PixelView8 view;
    view.base = reinterpret_cast<const uint8_t *>(texturePixels.data());
    view.rowbytes = texture.width * 4;
    view.width = texture.width;
    view.height = texture.height;
    const StereogramGeometry g = ComputeGeometry(300, 55, 2, 2);
    SeparationTable table;
    BuildSeparationTable(g, &table);
    const PatternSource source(g, 3, ContrastFactor(50), view);
    std::vector<int32_t> left(g.W), right(g.W);
    std::vector<PF_Pixel8> colors(g.W);
    RowArrays rows;
    rows.leftLink = left.data();
    rows.rightLink = right.data();
    rows.rowColors = colors.data();
    for (int y = 0; y < 12; ++y) {
        SynthesizeRow(g, table, &depthPixels[size_t(y) * 300], y, source, rows, colors.data());
        for (int x = 0; x < 300; ++x) {
            const float *v = out.at(x, y);
            const PF_Pixel8 &e = colors[x];
            ASSERT_TRUE(v[0] == e.alpha && v[1] == e.red && v[2] == e.green && v[3] == e.blue)
                << "pixel " << x << "," << y;
        }
    }
}

// ---------------------------------------------------------------- placement

TEST(Adapter, PictureLiesAtTheOriginWithTheDepthMapsSize) {
    struct Case {
        const char *name;
        int dw, dh, ow, oh;
    } cases[] = {
        {"depth map smaller than the output", 150, 20, 200, 31},
        {"depth map wider and taller than the output", 260, 40, 200, 31},
        {"depth map wider, output taller", 260, 10, 200, 31},
    };
    for (Depth d : {Depth::k8, Depth::k32}) {
        for (const auto &c : cases) {
            Scene s(d, DepthPicture(c.dw, c.dh), c.ow, c.oh);
            ASSERT_EQ(s.Render(), 0) << c.name;
            EXPECT_TRUE(s.host->ledger().empty()) << c.name << ": " << s.host->ledger().describe();
            const Image out = s.Output();
            for (int y = 0; y < c.oh; ++y)
                for (int x = 0; x < c.ow; ++x) {
                    const bool inside = x < c.dw && y < c.dh;
                    const bool kept = std::memcmp(out.at(x, y), s.marker.at(x, y), 4 * sizeof(float)) == 0;
                    ASSERT_NE(inside, kept) << Name(d) << " " << c.name << " at " << x << "," << y;
                }
        }
    }
}

TEST(Adapter, PicturesNarrowerThanOneStripWriteNothing) {
    struct Case {
        int w, oversampling;
        bool drawn;
    } cases[] = {{107, 1, false}, {107, 4, false}, {108, 4, false}, {108, 1, true}, {109, 4, true}, {1, 1, false}};
    for (const auto &c : cases) {
        Scene s(Depth::k8, DepthPicture(std::max(c.w, 2), 6), c.w, 6);
        s.info.depth_world.width = c.w;  // the 1-wide case uses the left column of a 2-wide map
        s.info.period = 100;
        s.info.oversampling = c.oversampling;
        ASSERT_EQ(s.Render(), 0);
        EXPECT_EQ(CountDiffering(s.Output(), s.marker) > 0, c.drawn) << c.w << " wide at " << c.oversampling;
        EXPECT_TRUE(s.host->ledger().empty()) << c.w << " wide: " << s.host->ledger().describe();
    }
}

// ---------------------------------------------------------------- the order of host calls

// The set-up calls in the order the generator makes them, then the releases: row arrays first, then the worlds,
// and the two suites last of all, the later-acquired world suite before the handle suite.
TEST(Adapter, HostCallsInSetUpOrderAndSuitesHeldToTheEnd) {
    const Image texture = TexturePicture(64, 40);
    struct Case {
        const char *name;
        int width;
        std::vector<std::string> setUp;
        int worlds;              // disposed after the row arrays
        std::vector<std::string> suiteReleases;
    };
    const std::vector<std::string> arrays = {"host_new_handle", "host_lock_handle", "host_new_handle",
                                             "host_lock_handle", "host_new_handle", "host_lock_handle"};
    auto join = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        // The texture's 8-bit conversion is a world of its own; the depth map is narrowed into depthWork row
        // by row, so there is neither a conversion world nor a copy for it.
        {"16-bit, resized texture", 220,
         join(join({"new_world", "new_world", "AcquireSuite:PF Handle Suite"}, arrays),
              {"AcquireSuite:PF World Suite", "PF_GetPixelFormat", "new_world", "transform_world"}),
         3, {"ReleaseSuite:PF World Suite", "ReleaseSuite:PF Handle Suite"}},
        {"narrower than one strip", 100, join({"new_world", "new_world", "AcquireSuite:PF Handle Suite"}, arrays),
         2, {"ReleaseSuite:PF Handle Suite"}},
    };
    for (const auto &c : cases) {
        Scene s(Depth::k16, DepthPicture(c.width, 6), c.width, 6, &texture);
        s.info.pattern = 3;
        s.info.texture_transform = 2;
        s.info.period = 100;
        ASSERT_EQ(s.Render(), 0) << c.name;
        std::vector<std::string> ops;
        for (const auto &call : s.host->calls()) ops.push_back(call.op);

        const size_t releases = 6 + size_t(c.worlds) + c.suiteReleases.size();
        ASSERT_EQ(ops.size(), c.setUp.size() + releases) << c.name;
        EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + long(c.setUp.size())), c.setUp) << c.name;
        auto it = ops.begin() + long(c.setUp.size());
        std::multiset<std::string> arrayReleases(it, it + 6);
        EXPECT_EQ(arrayReleases.count("host_unlock_handle"), 3u) << c.name;
        EXPECT_EQ(arrayReleases.count("host_dispose_handle"), 3u) << c.name;
        it += 6;
        EXPECT_EQ(std::vector<std::string>(it, it + c.worlds), std::vector<std::string>(size_t(c.worlds), "dispose_world"))
            << c.name << ": the worlds after the row arrays";
        it += c.worlds;
        EXPECT_EQ(std::vector<std::string>(it, ops.end()), c.suiteReleases) << c.name << ": the suites last";
    }
}

// ---------------------------------------------------------------- the working texture

TEST(Adapter, TexturePixelsKeepTheirAlpha) {
    const Image texture = Picture(20, 20, [](int x, int) { return std::array<int, 4>{0, 200, x * 10, 30}; });
    Scene s(Depth::k8, DepthPicture(200, 8), 200, 8, &texture);
    s.info.pattern = 3;
    ASSERT_EQ(s.Render(), 0);
    const Image out = s.Output();
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 200; ++x) {
            ASSERT_EQ(out.at(x, y)[0], 0.0f) << x << "," << y;
            ASSERT_EQ(out.at(x, y)[1], 200.0f) << x << "," << y;
        }
}

TEST(Adapter, ResizedTextureFlatterThanOneRowStillDraws) {
    // 1000 x 2 scaled to a period of 40 would be 40 x 0.08: it gets one row instead of failing to be made.
    const Image texture = Picture(1000, 2, [](int x, int) { return std::array<int, 4>{255, x % 256, 9, 9}; });
    for (Depth d : {Depth::k8, Depth::k16}) {
        Scene s(d, DepthPicture(200, 8), 200, 8, &texture);
        s.info.pattern = 3;
        s.info.texture_transform = 2;
        ASSERT_EQ(s.Render(), 0);
        EXPECT_EQ(CountDiffering(s.Output(), s.marker), 200 * 8) << Name(d);
        EXPECT_TRUE(s.host->ledger().empty()) << Name(d) << ": " << s.host->ledger().describe();
        int made = 0;
        for (const auto &call : s.host->calls()) made += call.op == "new_world" && call.result == PF_Err_NONE;
        EXPECT_GE(made, 2) << Name(d) << ": depth and texture worlds";
    }
}

TEST(Adapter, TextureChoiceWithoutTextureLeavesOutput) {
    Scene s(Depth::k8, DepthPicture(200, 8), 200, 8);
    s.info.pattern = 3;
    ASSERT_EQ(s.Render(), 0);
    EXPECT_TRUE(SameImage(s.Output(), s.marker));
    EXPECT_TRUE(s.host->ledger().empty()) << s.host->ledger().describe();
}

// ---------------------------------------------------------------- bad record values

TEST(Adapter, BadRecordValuesAreClampedNotTrusted) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char *name;
        std::function<void(RenderInfo &)> spoil;
        std::function<void(RenderInfo &)> same;  // the valid settings it must render like (texture: deterministic)
    } cases[] = {
        {"period NaN", [&](RenderInfo &i) { i.period = nan; }, [](RenderInfo &i) { i.period = 10; }},
        {"period -inf", [&](RenderInfo &i) { i.period = -inf; }, [](RenderInfo &i) { i.period = 10; }},
        {"period 3", [](RenderInfo &i) { i.period = 3; }, [](RenderInfo &i) { i.period = 10; }},
        {"oversampling 0", [](RenderInfo &i) { i.oversampling = 0; }, [](RenderInfo &i) { i.oversampling = 1; }},
        {"oversampling -5", [](RenderInfo &i) { i.oversampling = -5; }, [](RenderInfo &i) { i.oversampling = 1; }},
        {"oversampling INT_MAX", [](RenderInfo &i) { i.oversampling = INT_MAX; },
         [](RenderInfo &i) { i.oversampling = 10; }},
        {"type 0", [](RenderInfo &i) { i.stereogram_type = 0; }, [](RenderInfo &i) { i.stereogram_type = 2; }},
        {"transform 7", [](RenderInfo &i) { i.texture_transform = 7; }, [](RenderInfo &i) { i.texture_transform = 1; }},
    };
    const Image texture = TexturePicture(30, 30);
    for (const auto &c : cases) {
        Image outputs[2];
        for (int k = 0; k < 2; ++k) {
            Scene s(Depth::k8, DepthPicture(320, 6), 320, 6, &texture);
            s.info.pattern = 3;
            (k == 0 ? c.spoil : c.same)(s.info);
            ASSERT_EQ(s.Render(), 0) << c.name;
            EXPECT_TRUE(s.host->ledger().empty()) << c.name << ": " << s.host->ledger().describe();
            outputs[k] = s.Output();
        }
        EXPECT_TRUE(SameImage(outputs[0], outputs[1])) << c.name;
    }
    // Values without a valid twin to compare with: they must render without harm, opaque random dots.
    struct Wild {
        const char *name;
        std::function<void(RenderInfo &)> spoil;
    } wild[] = {
        {"period +inf", [&](RenderInfo &i) { i.period = inf; }},
        {"period 1e12", [](RenderInfo &i) { i.period = 1e12; }},
        {"pattern 0", [](RenderInfo &i) { i.pattern = 0; }},
        {"pattern 99", [](RenderInfo &i) { i.pattern = 99; }},
        {"contrast NaN", [&](RenderInfo &i) { i.pattern = 2, i.dot_contrast = nan; }},
        {"contrast 1e9", [](RenderInfo &i) { i.pattern = 2, i.dot_contrast = 1e9; }},
        {"contrast -50", [](RenderInfo &i) { i.pattern = 2, i.dot_contrast = -50; }},
    };
    for (const auto &c : wild) {
        Scene s(Depth::k8, DepthPicture(320, 6), 320, 6);
        c.spoil(s.info);
        ASSERT_EQ(s.Render(), 0) << c.name;
        EXPECT_TRUE(s.host->ledger().empty()) << c.name << ": " << s.host->ledger().describe();
        const Image out = s.Output();
        const bool drawable = ComputeGeometry(320, s.info.period, 1, 2).drawable();
        EXPECT_EQ(CountDiffering(out, s.marker) > 0, drawable) << c.name;
        for (int x = 0; x < 320 && drawable; ++x) ASSERT_EQ(out.at(x, 3)[0], 255.0f) << c.name << " at " << x;
    }
}

// ---------------------------------------------------------------- failing host calls

struct FaultScenario {
    const char *name;
    Depth depth;
    int pattern, transform;
};

std::unique_ptr<Scene> MakeScenario(const FaultScenario &f, const Image &texture) {
    auto s = std::make_unique<Scene>(f.depth, DepthPicture(220, 10), 220, 10, &texture);
    s->info.pattern = f.pattern;
    s->info.texture_transform = f.transform;
    s->info.oversampling = 2;
    return s;
}

bool IsRelease(const std::string &op) {
    return op == "dispose_world" || op == "host_unlock_handle" || op == "host_dispose_handle" ||
           op.rfind("ReleaseSuite", 0) == 0;
}

TEST(Adapter, EveryFailingHostCallLeavesNothingHeld) {
    const Image texture = TexturePicture(64, 40);
    const FaultScenario scenarios[] = {
        {"16-bit, resized texture", Depth::k16, 3, 2},
        {"float, cropped texture", Depth::k32, 3, 1},
        {"8-bit, cropped texture", Depth::k8, 3, 1},
        {"8-bit, coloured dots", Depth::k8, 2, 1},
    };
    for (const auto &f : scenarios) {
        std::vector<vbhost::CallRecord> clean;
        Image cleanOutput;
        {
            auto s = MakeScenario(f, texture);
            ASSERT_EQ(s->Render(), 0) << f.name;
            ASSERT_TRUE(s->host->ledger().empty()) << f.name << ": " << s->host->ledger().describe();
            clean = s->host->calls();
            cleanOutput = s->Output();
        }
        std::map<std::string, int> seen;
        for (const auto &call : clean) {
            const int nth = ++seen[call.op];
            std::ostringstream name;
            name << f.name << ": " << call.op << " #" << nth << " fails";
            auto s = MakeScenario(f, texture);
            s->host->AddFault(vbhost::Fault{call.op, nth, PF_Err_INTERNAL_STRUCT_DAMAGED});
            const A_long thrown = s->Render();
            const Image out = s->Output();
            if (IsRelease(call.op)) {
                // The host refused to take something back; the picture is still complete.
                EXPECT_EQ(thrown, 0) << name.str();
                if (f.pattern == 3) {
                    EXPECT_TRUE(SameImage(out, cleanOutput)) << name.str();
                }
                continue;
            }
            EXPECT_TRUE(s->host->ledger().empty()) << name.str() << ": " << s->host->ledger().describe();
            EXPECT_TRUE(SameImage(out, s->marker)) << name.str() << ": a failed set-up writes nothing";
            if (call.op.rfind("AcquireSuite", 0) == 0) {
                EXPECT_EQ(thrown, A_Err_MISSING_SUITE) << name.str();
                EXPECT_STREQ(s->host->out_data().return_msg, "Not able to acquire AEFX Suite.") << name.str();
            } else {
                EXPECT_EQ(thrown, 0) << name.str();
            }
        }
        // The set-up steps the scenario must have gone through, so the loop above covered them.
        std::set<std::string> ops;
        for (const auto &call : clean) ops.insert(call.op);
        for (const char *op : {"new_world", "host_new_handle", "host_lock_handle", "PF_GetPixelFormat",
                               "AcquireSuite:PF Handle Suite", "AcquireSuite:PF World Suite"}) {
            EXPECT_TRUE(ops.count(op)) << f.name << " calls " << op;
        }
        // The host copies an 8-bit depth map and a cropped texture; a deep depth map is narrowed row by row.
        const auto copies =
            std::count_if(clean.begin(), clean.end(), [](const vbhost::CallRecord &c) { return c.op == "copy"; });
        EXPECT_EQ(copies, (f.depth == Depth::k8 ? 1 : 0) + (f.pattern == 3 && f.transform == 1 ? 1 : 0)) << f.name;
        if (f.transform == 2) {
            EXPECT_TRUE(ops.count("transform_world")) << f.name;
        }
    }
}

}  // namespace
