// Frames rendered at once on several threads through EffectMain, each checked against its own single-threaded
// render: random dots by the tie structure that their depth map decodes to, textures with post-processing
// pixel for pixel. Built also under ThreadSanitizer.
#include "test_reliability_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace reliability;

constexpr int kWidth = 64;
constexpr int kHeight = 24;
constexpr int kFrames = 4;
constexpr int kThreads = 4;
constexpr int kRounds = 3;  // every thread renders every frame this often

// Frame f's depth map: blocks whose size and depth differ from frame to frame.
Image FrameDepth(int f) {
    return Picture(kWidth, kHeight, [f](int x, int y) {
        const int v = ((x / (7 + 2 * f)) + (y / (5 + f))) % 2 ? 230 - 15 * f : 20 + 25 * f;
        return std::array<int, 4>{255, v, v, v};
    });
}

// The tie structure of a random-dot stereogram: for every pixel, the smallest offset s (2 to 40) at which the
// three pixels from it repeat exactly, or 0. Ties are fixed by the depth map; fresh dots of colour at 0 %
// contrast match by chance with odds of about 1 in 255^3 per pixel, so three in a row never do. Two renders of
// the same depth map thus decode alike, whatever dots they drew.
std::vector<int> Decode(const Image &img) {
    std::vector<int> map(std::size_t(img.width) * img.height, 0);
    auto same = [&img](int x1, int x2, int y) {
        for (int c = 0; c < 4; ++c)
            if (img.at(x1, y)[c] != img.at(x2, y)[c]) return false;
        return true;
    };
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            for (int s = 2; s <= 40 && x + s + 2 < img.width; ++s)
                if (same(x, x + s, y) && same(x + 1, x + s + 1, y) && same(x + 2, x + s + 2, y)) {
                    map[std::size_t(y) * img.width + x] = s;
                    break;
                }
    return map;
}

// "" when the maps agree, else the first pixel where they do not.
std::string FirstMismatch(const std::vector<int> &a, const std::vector<int> &b) {
    if (a.size() != b.size()) return "sizes differ";
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return "pixel (" + std::to_string(i % kWidth) + "," + std::to_string(i / kWidth) + "): offset " +
                   std::to_string(a[i]) + " vs " + std::to_string(b[i]);
    return "";
}

// A host with the frames' depth maps as one layer sequence, rendering through EffectMain itself.
std::unique_ptr<Host> MakeHost(Depth depth) {
    vbhost::HostOptions options;
    options.project_depth = depth;
    auto host = std::make_unique<Host>(options);
    host->SetEffect(&EffectMain, &PluginDataEntryFunction);
    EXPECT_EQ(host->Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    EXPECT_EQ(host->Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    Layer depth_sequence;
    for (int f = 0; f < kFrames; ++f) depth_sequence.frames.push_back(FrameDepth(f));
    host->SetInputLayer(host->AddLayer(Layer{{InputPicture(kWidth, kHeight)}}));
    host->SetLayerParam(PARAM_DEPTH_LAYER, host->AddLayer(depth_sequence));
    host->SetLayerParam(PARAM_TEXTURE_LAYER, host->AddLayer(Layer{{TexturePicture(13, 9)}}));
    return host;
}

void Set(Host &host, int index, double value) {
    std::string error;
    EXPECT_TRUE(host.SetParamValue(index, value, &error)) << error;
}

// Renders every frame kRounds times on each of kThreads threads at once; results[t][i] is thread t's i-th frame,
// which is frame i % kFrames. Nothing here asserts: the workers only record.
std::vector<std::vector<FrameResult>> RenderConcurrently(Host &host) {
    std::vector<std::vector<FrameResult>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&host, &results, t] {
            for (int i = 0; i < kFrames * kRounds; ++i) {
                FrameRequest request;
                // Threads start at different frames, so different frames are in flight together.
                request.time = ((i + t) % kFrames) * host.options().time_step;
                results[std::size_t(t)].push_back(host.RenderFrame(request));
            }
        });
    }
    for (std::thread &th : threads) th.join();
    return results;
}

int FrameOf(int t, int i) { return (i + t) % kFrames; }

// Hands check every render of RenderConcurrently's results, with a name for it and the frame it should show.
void ForEachRender(const std::vector<std::vector<FrameResult>> &results, const std::string &project,
                   const std::function<void(const FrameResult &, const std::string &, int)> &check) {
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kFrames * kRounds; ++i) {
            const std::string what = project + ", thread " + std::to_string(t) + ", render " + std::to_string(i) +
                                     " (frame " + std::to_string(FrameOf(t, i)) + ")";
            check(results[std::size_t(t)][std::size_t(i)], what, FrameOf(t, i));
        }
}

TEST(ConcurrentFrames, RandomDotsDecodeToTheirOwnDepthMap) {
    for (Depth depth : {Depth::k8, Depth::k32}) {
        const std::string project = std::to_string(int(depth)) + "-bit project";
        auto host = MakeHost(depth);
        Set(*host, PARAM_PATTERN, PATTERN_RANDOM_COLOR_DOTS);
        Set(*host, PARAM_DOT_CONTRAST, 0);
        Set(*host, PARAM_OVERSAMPLING, 1);
        Set(*host, PARAM_PERIOD, 20);

        std::vector<std::vector<int>> expected;
        for (int f = 0; f < kFrames; ++f) {
            FrameRequest request;
            request.time = f * host->options().time_step;
            const FrameResult r = host->RenderFrame(request);
            ASSERT_EQ(r.pre_render_err, PF_Err_NONE) << project << ", frame " << f;
            ASSERT_EQ(r.render_err, PF_Err_NONE) << project << ", frame " << f;
            expected.push_back(Decode(r.output));
        }
        // Frames must decode apart, or a frame drawn from another frame's depth map would pass unseen.
        for (int a = 0; a < kFrames; ++a)
            for (int b = a + 1; b < kFrames; ++b)
                ASSERT_NE(FirstMismatch(expected[a], expected[b]), "") << project << ", frames " << a << " and " << b;

        ForEachRender(RenderConcurrently(*host), project, [&](const FrameResult &r, const std::string &what, int f) {
            EXPECT_EQ(r.pre_render_err, PF_Err_NONE) << what;
            EXPECT_EQ(r.render_err, PF_Err_NONE) << what;
            EXPECT_EQ(FirstMismatch(Decode(r.output), expected[std::size_t(f)]), "") << what;
        });
        EXPECT_TRUE(host->ledger().empty()) << project << ": " << host->ledger().describe();
    }
}

TEST(ConcurrentFrames, TexturedAndPostProcessedFramesMatchExactly) {
    for (Depth depth : {Depth::k16, Depth::k32}) {
        const std::string project = std::to_string(int(depth)) + "-bit project";
        auto host = MakeHost(depth);
        Set(*host, PARAM_PATTERN, PATTERN_TEXTURE);
        Set(*host, PARAM_TEXTURE_TRANSFORM, TEXTURE_RESIZING);
        Set(*host, PARAM_OVERSAMPLING, 3);
        Set(*host, PARAM_PERIOD, 24);
        Set(*host, PARAM_POST_ENABLE, 1);
        Set(*host, PARAM_BLUR, 1.5);
        Set(*host, PARAM_SHARPEN, 3);

        std::vector<Image> expected;
        for (int f = 0; f < kFrames; ++f) {
            FrameRequest request;
            request.time = f * host->options().time_step;
            const FrameResult r = host->RenderFrame(request);
            ASSERT_EQ(r.render_err, PF_Err_NONE) << project << ", frame " << f;
            expected.push_back(r.output);
        }
        for (int a = 0; a < kFrames; ++a)
            for (int b = a + 1; b < kFrames; ++b)
                ASSERT_NE(FirstDifference(expected[a], expected[b]), "") << project << ", frames " << a << " and " << b;

        ForEachRender(RenderConcurrently(*host), project, [&](const FrameResult &r, const std::string &what, int f) {
            EXPECT_EQ(r.render_err, PF_Err_NONE) << what;
            EXPECT_EQ(FirstDifference(r.output, expected[std::size_t(f)]), "") << what;
        });
        EXPECT_TRUE(host->ledger().empty()) << project << ": " << host->ledger().describe();
    }
}

}  // namespace
