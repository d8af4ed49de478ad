// The vellumbra command-line renderer, run as a subprocess on files made here, with its decoder as an oracle.
#include "cli/frames.h"
#include "cli/picture.h"
#include "cli/render_job.h"
#include "shell/param_index.h"
#include "synthesis/geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using vbcli::Picture;

namespace {

struct RunResult {
    int code = -1;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the renderer with the arguments, capturing its output streams and exit code; with interrupt_after_ms,
// sends it SIGINT after that long.
RunResult runCli(const std::vector<std::string> &args, const fs::path &dir, int interrupt_after_ms = -1) {
    std::string out_path = (dir / ".stdout").string(), err_path = (dir / ".stderr").string();
    pid_t pid = fork();
    if (pid == 0) {
        int o = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(VELLUMBRA_CLI_PATH));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(VELLUMBRA_CLI_PATH, argv.data());
        std::_Exit(127);
    }
    int status = 0;
    if (interrupt_after_ms >= 0) {
        ::usleep(useconds_t(interrupt_after_ms) * 1000);
        ::kill(pid, SIGINT);
    }
    ::waitpid(pid, &status, 0);
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    fs::remove(out_path);
    fs::remove(err_path);
    return r;
}

std::string describe(const RunResult &r) { return "exit " + std::to_string(r.code) + "\nstdout: " + r.out + "\nstderr: " + r.err; }

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vellumbra-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    RunResult run(const std::vector<std::string> &args) const { return runCli(args, dir_); }
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto &e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
        return names;
    }
    // Every file of the folder with its content, to see that nothing was added or changed.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto &e : fs::directory_iterator(dir_)) files[e.path().filename().string()] = slurp(e.path().string());
        return files;
    }
    fs::path dir_;
};

// A grey depth map from a function of the pixel giving luminance 0..255.
Picture depthMap(int w, int h, const std::function<int(int, int)> &lum) {
    Picture p(w, h, 1, 8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.at(x, y)[0] = float(lum(x, y)) / 255.0f;
    return p;
}

int lumAt(const Picture &p, int x, int y) { return int(std::lround(p.at(x, y)[0] * 255.0f)); }

// Separation in output pixels that the effect gives a luminance, from its own geometry.
double trueSeparation(const StereogramGeometry &g, int lum) {
    return double(SeparationOfDepth(g, DepthOfLuminance(g, g.convergence ? 255 - lum : lum))) / g.N;
}

// The same mapping, continuous, for decoded luminances that fall between the effect's steps.
double separationOfDecoded(const StereogramGeometry &g, double lum) {
    if (g.convergence) lum = 255.0 - lum;
    double z = g.Zfar - lum * g.R / 256.0;
    return double(g.E) * z / (g.D + z);
}

double parsePeriod(const std::string &out) {
    std::size_t at = out.find("period: ");
    return at == std::string::npos ? -1.0 : std::atof(out.c_str() + at + 8);
}

// ---------------------------------------------------------------- picture files

TEST_F(CliTest, PictureFilesRoundTrip) {
    struct Case {
        const char *name;
        int channels, bits;
        float tolerance;  // largest difference allowed per value; 0 for formats that keep every value
        int read_bits;    // what the file says it holds when read back
    };
    const Case cases[] = {
        {"grey8.png", 1, 8, 0, 8},     {"greyalpha8.png", 2, 8, 0, 8}, {"rgb8.png", 3, 8, 0, 8},
        {"rgba8.png", 4, 8, 0, 8},     {"rgba16.png", 4, 16, 0, 16},   {"grey16.png", 1, 16, 0, 16},
        {"rgba-half.exr", 4, 16, 0, 32}, {"rgb-float.exr", 3, 32, 0, 32}, {"grey-float.exr", 1, 32, 0, 32},
        {"rgba8.tif", 4, 8, 0, 8},     {"rgb16.tif", 3, 16, 0, 16},    {"rgba-float.tif", 4, 32, 0, 32},
        {"rgb8.ppm", 3, 8, 0, 8},      {"rgb16.ppm", 3, 16, 0, 16},    {"grey8.pgm", 1, 8, 0, 8},
        {"rgba8.pam", 4, 8, 0, 8},     {"greyalpha16.pam", 2, 16, 0, 16}, {"rgb.jpg", 3, 8, 0.06f, 8},
        {"grey.jpg", 1, 8, 0.06f, 8},
    };
    std::mt19937 rng(3);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Values exactly representable at the file's depth, so that lossless formats must give them back.
        Picture pic(37, 23, c.channels, c.bits);
        float full = c.bits == 8 ? 255.0f : c.bits == 16 ? 65535.0f : 1.0f;
        for (int y = 0; y < pic.height; ++y)
            for (int x = 0; x < pic.width; ++x)
                for (int k = 0; k < c.channels; ++k) {
                    float smooth = float(x + 2 * y + 9 * k) / 120.0f;  // JPEG is judged on smooth content
                    float v = c.tolerance > 0 ? smooth : std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
                    if (c.bits == 16 && std::string(c.name).find(".exr") != std::string::npos)
                        v = float(std::lround(v * 1024.0f)) / 1024.0f;  // exact in half
                    else if (c.bits != 32)
                        v = std::round(v * full) / full;
                    pic.at(x, y)[k] = v;
                }
        std::string file = path(c.name);
        vbcli::WritePicture(file, pic, c.bits);
        Picture back = vbcli::ReadPicture(file);
        ASSERT_EQ(back.width, pic.width);
        ASSERT_EQ(back.height, pic.height);
        ASSERT_EQ(back.channels, pic.channels);
        EXPECT_EQ(back.bits, c.read_bits);
        float worst = 0.0f;
        for (std::size_t i = 0; i < pic.data.size(); ++i) worst = std::max(worst, std::fabs(back.data[i] - pic.data[i]));
        EXPECT_LE(worst, c.tolerance + 1e-6f);
    }
}

TEST_F(CliTest, PictureReadErrorsNameTheFile) {
    std::ofstream(path("garbage.png")) << "this is no picture";
    std::ofstream(path("short.ppm")) << "P6\n4 4\n255\nabc";
    std::ofstream(path("huge.pgm")) << "P5\n99999999 99999999\n255\n";
    std::ofstream(path("empty.png"));
    const char *files[] = {"missing.png", "garbage.png", "short.ppm", "huge.pgm", "empty.png"};
    for (const char *f : files) {
        SCOPED_TRACE(f);
        try {
            vbcli::ReadPicture(path(f));
            ADD_FAILURE() << "read succeeded";
        } catch (const vbcli::ImageError &e) {
            EXPECT_NE(std::string(e.what()).find(path(f)), std::string::npos) << e.what();
        }
    }
}

TEST_F(CliTest, FailedWriteLeavesNoFileBehind) {
    Picture pic(4, 4, 3, 8);
    EXPECT_THROW(vbcli::WritePicture(path("no-such-dir/out.png"), pic, 8), vbcli::ImageError);
    EXPECT_THROW(vbcli::WritePicture(path("out.bmp"), pic, 8), vbcli::ImageError);
    Picture malformed(4, 4, 3, 8);
    malformed.data.resize(5);
    EXPECT_THROW(vbcli::WritePicture(path("out.png"), malformed, 8), vbcli::ImageError);
    EXPECT_TRUE(listing().empty());
}

TEST(CliFrames, PatternsExpandAndRangesParse) {
    struct Case {
        const char *name;
        int frame;
        const char *expected;
    };
    const Case cases[] = {
        {"depth.####.png", 7, "depth.0007.png"}, {"depth.%04d.png", 12, "depth.0012.png"},
        {"d%d.exr", 123, "d123.exr"},           {"a#/depth_##.png", 5, "a#/depth_05.png"},
        {"d.##.png", 1234, "d.1234.png"},       {"plain.png", 3, "plain.png"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(vbcli::ExpandFramePattern(c.name, c.frame), c.expected) << c.name;
        EXPECT_EQ(vbcli::HasFramePattern(c.name), std::string(c.name) != "plain.png") << c.name;
    }
    vbcli::FrameRange r;
    std::string why;
    ASSERT_TRUE(vbcli::ParseFrameRange("10-19", &r, &why));
    EXPECT_EQ(r.first, 10);
    EXPECT_EQ(r.count(), 10);
    ASSERT_TRUE(vbcli::ParseFrameRange("4", &r, &why));
    EXPECT_EQ(r.count(), 1);
    for (const char *bad : {"", "3-", "-3", "5-2", "a-b", "1-2-3", "1.5-3"})
        EXPECT_FALSE(vbcli::ParseFrameRange(bad, &r, &why)) << bad;
}

// ---------------------------------------------------------------- render, checked by decoding

// Far background, a near disk and a rising band, with depth constant enough around most pixels to be decoded.
Picture sceneDepth(int w, int h) {
    return depthMap(w, h, [&](int x, int y) {
        double dx = x - w * 0.3, dy = y - h * 0.5;
        if (dx * dx + dy * dy < (h * 0.3) * (h * 0.3)) return 210;
        if (x > w * 0.55 && x < w * 0.9) return 60 + 150 * y / h;
        return 0;
    });
}

// Pixels whose depth is the same (within `spread`) over a neighbourhood wider than the strip: only there does the
// picture repeat cleanly.
std::vector<bool> cleanMask(const Picture &depth, int reach, int spread) {
    std::vector<bool> mask(std::size_t(depth.width) * depth.height, false);
    for (int y = 2; y < depth.height - 2; ++y)
        for (int x = reach; x < depth.width - reach; ++x) {
            int lo = 255, hi = 0;
            for (int yy = y - 2; yy <= y + 2; ++yy)
                for (int xx = x - reach; xx <= x + reach; xx += 2) {
                    int l = lumAt(depth, xx, yy);
                    lo = std::min(lo, l), hi = std::max(hi, l);
                }
            mask[std::size_t(y) * depth.width + x] = hi - lo <= spread;
        }
    return mask;
}

TEST_F(CliTest, RenderDecodesBackToItsDepth) {
    struct Case {
        const char *mode;
        int oversampling;
    };
    const Case cases[] = {{"divergence", 1}, {"divergence", 4}, {"convergence", 1}, {"convergence", 4}};
    const int w = 480, h = 200, period = 80;
    // Stated tolerance: the decoded separation is within half a pixel of the one the effect used, for 90% of the
    // pixels decoded where the depth is flat. The rest are echoes: a stereogram copies an object's pattern from
    // strip to strip, and beside it a patch can repeat at the object's separation as well as its own.
    const double kTolerancePx = 0.5;
    const double kShareWithin = 0.90;
    Picture depth = sceneDepth(w, h);
    vbcli::WritePicture(path("scene.png"), depth, 8);
    for (const Case &c : cases) {
        std::string label = std::string(c.mode) + " oversampling " + std::to_string(c.oversampling);
        SCOPED_TRACE(label);
        bool conv = std::string(c.mode) == "convergence";
        StereogramGeometry g = ComputeGeometry(w, period, c.oversampling, conv ? STEREOGRAM_CONVERGENCE : STEREOGRAM_DIVERGENCE);
        RunResult r = run({"render", path("scene.png"), "-o", path("st.png"), "--mode", c.mode, "--period",
                           std::to_string(period), "--oversampling", std::to_string(c.oversampling), "--quiet"});
        ASSERT_EQ(r.code, 0) << describe(r);

        RunResult d = run({"decode", path("st.png"), "-o", path("dec.png"), "--mode", c.mode, "--period",
                           std::to_string(period), "--oversampling", std::to_string(c.oversampling)});
        ASSERT_EQ(d.code, 0) << describe(d);
        EXPECT_EQ(parsePeriod(d.out), period) << d.out;
        Picture dec = vbcli::ReadPicture(path("dec.png"));
        ASSERT_EQ(dec.channels, 2);
        std::vector<bool> mask = cleanMask(depth, g.Sfar / 2 + 8, 0);
        int considered = 0, decoded = 0, close = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (!mask[std::size_t(y) * w + x]) continue;
                ++considered;
                if (dec.at(x, y)[1] < 0.5f) continue;
                ++decoded;
                double want = trueSeparation(g, lumAt(depth, x, y));
                double got = separationOfDecoded(g, dec.at(x, y)[0] * 255.0);
                if (std::fabs(got - want) <= kTolerancePx) ++close;
            }
        ASSERT_GT(considered, w * h / 16);
        EXPECT_GE(decoded, considered * 0.95) << "decoded " << decoded << " of " << considered;
        EXPECT_GE(close, decoded * kShareWithin) << close << " of " << decoded << " within " << kTolerancePx << " px";

        // Without --period the decoder finds it from the far background.
        RunResult e = run({"decode", path("st.png"), "-o", path("dec2.png"), "--mode", c.mode, "--oversampling",
                           std::to_string(c.oversampling)});
        ASSERT_EQ(e.code, 0) << describe(e);
        EXPECT_NEAR(parsePeriod(e.out), period, 1.0) << e.out;
        EXPECT_NE(e.out.find("(found)"), std::string::npos) << e.out;
    }
}

TEST_F(CliTest, OversamplingGivesFinerDepthSteps) {
    // A vertical ramp: every row one luminance, so each row's median shows the depth step the effect made.
    const int w = 360, h = 256, period = 80;
    vbcli::WritePicture(path("ramp.png"), depthMap(w, h, [](int, int y) { return y; }), 8);
    auto rowLevels = [&](int oversampling, double *mean_error) {
        RunResult r = run({"render", path("ramp.png"), "-o", path("st.png"), "--period", std::to_string(period),
                           "--oversampling", std::to_string(oversampling), "--quiet"});
        EXPECT_EQ(r.code, 0) << describe(r);
        RunResult d = run({"decode", path("st.png"), "-o", path("dec.png"), "--period", std::to_string(period)});
        EXPECT_EQ(d.code, 0) << describe(d);
        Picture dec = vbcli::ReadPicture(path("dec.png"));
        std::set<long> levels;
        double err = 0.0;
        int rows = 0;
        for (int y = 2; y < h - 2; ++y) {
            std::vector<float> v;
            for (int x = 0; x < w; ++x)
                if (dec.at(x, y)[1] > 0.5f) v.push_back(dec.at(x, y)[0] * 255.0f);
            if (v.size() < std::size_t(w / 2)) continue;
            std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
            double med = v[v.size() / 2];
            levels.insert(std::lround(med));
            err += std::fabs(med - y);
            ++rows;
        }
        *mean_error = rows ? err / rows : 1e9;
        return levels.size();
    };
    double err1 = 0, err4 = 0;
    std::size_t levels1 = rowLevels(1, &err1);
    std::size_t levels4 = rowLevels(4, &err4);
    EXPECT_GT(levels4, 2 * levels1) << "levels at oversampling 1: " << levels1 << ", at 4: " << levels4;
    EXPECT_LT(err4, err1) << "mean depth error at oversampling 1: " << err1 << ", at 4: " << err4;
}

TEST_F(CliTest, TextureStereogramIsTheSameInEveryProjectDepth) {
    const int w = 320, h = 120;
    vbcli::WritePicture(path("d.png"), sceneDepth(w, h), 8);
    Picture tex(64, 48, 4, 8);
    std::mt19937 rng(11);
    for (float &v : tex.data) v = float(rng() % 256) / 255.0f;
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 64; ++x) tex.at(x, y)[3] = 0.0f;  // transparent texture rows reach the output
    vbcli::WritePicture(path("t.png"), tex, 8);
    std::vector<Picture> outs;
    for (const char *bits : {"8", "16", "32"}) {
        std::string out = path(std::string("out") + bits + ".png");
        RunResult r = run({"render", path("d.png"), "--texture", path("t.png"), "--texture-transform", "crop",
                           "--bit-depth", bits, "--out-bits", "8", "-o", out});
        ASSERT_EQ(r.code, 0) << bits << "-bit project: " << describe(r);
        outs.push_back(vbcli::ReadPicture(out));
        EXPECT_EQ(outs.back().bits, 8) << bits;
    }
    std::set<std::vector<float>> colours;
    for (int x = 0; x < w; ++x) colours.insert(std::vector<float>(outs[0].at(x, 60), outs[0].at(x, 60) + outs[0].channels));
    ASSERT_GT(colours.size(), 20u) << "the 8-bit project's output is not a textured stereogram";
    EXPECT_EQ(outs[0].channels, 4) << "transparent texture pixels must give transparent output";
    for (std::size_t i = 1; i < outs.size(); ++i) {
        ASSERT_EQ(outs[i].channels, outs[0].channels) << i;
        EXPECT_TRUE(outs[i].data == outs[0].data) << (i == 1 ? "16" : "32") << "-bit project differs from 8-bit";
    }
    // Without --out-bits the file follows the project.
    RunResult r = run({"render", path("d.png"), "--texture", path("t.png"), "--bit-depth", "16", "-o", path("deep.png"), "--quiet"});
    ASSERT_EQ(r.code, 0) << describe(r);
    EXPECT_EQ(vbcli::ReadPicture(path("deep.png")).bits, 16);
}

TEST_F(CliTest, SequenceWritesEachFrameFromItsOwnDepth) {
    const int w = 320, h = 120, period = 60;
    const int centres[] = {0, 90, 160, 230};  // frame i's disk, frames 1..3
    for (int f = 1; f <= 3; ++f)
        vbcli::WritePicture(path("depth." + std::string("000") + std::to_string(f) + ".png"),
                            depthMap(w, h, [&](int x, int y) {
                                int dx = x - centres[f], dy = y - h / 2;
                                return dx * dx + dy * dy < 35 * 35 ? 220 : 0;
                            }),
                            8);
    RunResult r = run({"render", path("depth.####.png"), "--frames", "1-3", "--threads", "2", "--period",
                       std::to_string(period), "-o", path("out.%04d.png")});
    ASSERT_EQ(r.code, 0) << describe(r);
    EXPECT_NE(r.out.find("3 frames"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(path("out.0000.png")));
    EXPECT_FALSE(fs::exists(path("out.0004.png")));
    for (int f = 1; f <= 3; ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        std::string out = path("out.000" + std::to_string(f) + ".png");
        ASSERT_TRUE(fs::exists(out));
        RunResult d = run({"decode", out, "-o", path("dec.png"), "--period", std::to_string(period)});
        ASSERT_EQ(d.code, 0) << describe(d);
        Picture dec = vbcli::ReadPicture(path("dec.png"));
        // Inside this frame's disk the decoded depth is near; inside the other frames' disks it is far.
        for (int g = 1; g <= 3; ++g) {
            int near = 0, total = 0;
            for (int y = h / 2 - 20; y <= h / 2 + 20; ++y)
                for (int x = centres[g] - 20; x <= centres[g] + 20; ++x)
                    if ((x - centres[g]) * (x - centres[g]) + (y - h / 2) * (y - h / 2) <= 400 && dec.at(x, y)[1] > 0.5f) {
                        ++total;
                        near += dec.at(x, y)[0] > 0.5f;
                    }
            ASSERT_GT(total, 600) << "disk of frame " << g;
            if (g == f) EXPECT_GT(near, total * 0.9) << "own disk";
            else EXPECT_LT(near, total * 0.1) << "disk of frame " << g;
        }
    }
}

TEST_F(CliTest, SeedMakesSingleThreadedRendersRepeat) {
    vbcli::WritePicture(path("d.png"), sceneDepth(240, 80), 8);
    auto render = [&](const char *seed, const char *out) {
        RunResult r = run({"render", path("d.png"), "--seed", seed, "--threads", "1", "-o", path(out), "--quiet"});
        EXPECT_EQ(r.code, 0) << describe(r);
        return vbcli::ReadPicture(path(out)).data;
    };
    auto a = render("7", "a.png"), b = render("7", "b.png"), c = render("8", "c.png");
    EXPECT_TRUE(a == b) << "same seed, different dots";
    EXPECT_FALSE(a == c) << "different seeds, same dots";
}

TEST_F(CliTest, InputLayerSetsTheOutputAndDownsampleScalesIt) {
    vbcli::WritePicture(path("d.png"), sceneDepth(400, 160), 8);
    Picture input(440, 200, 3, 8);
    for (int y = 0; y < input.height; ++y)
        for (int x = 0; x < input.width; ++x) input.at(x, y)[0] = 1.0f;  // opaque red
    vbcli::WritePicture(path("in.png"), input, 8);

    RunResult r = run({"render", path("d.png"), "--input", path("in.png"), "--quiet"});
    ASSERT_EQ(r.code, 0) << describe(r);
    Picture out = vbcli::ReadPicture(path("d.stereogram.png"));  // the default output name
    ASSERT_EQ(out.width, 440);
    ASSERT_EQ(out.height, 200);
    ASSERT_EQ(out.channels, 4);
    EXPECT_EQ(out.at(430, 190)[3], 0.0f) << "beyond the depth map the output keeps the host's empty pixels";
    EXPECT_EQ(out.at(200, 80)[3], 1.0f) << "the stereogram is opaque";

    r = run({"render", path("d.png"), "--downsample", "2", "--period", "80", "-o", path("half.png"), "--quiet"});
    ASSERT_EQ(r.code, 0) << describe(r);
    Picture half = vbcli::ReadPicture(path("half.png"));
    EXPECT_EQ(half.width, 200);
    EXPECT_EQ(half.height, 80);
    RunResult d = run({"decode", path("half.png"), "-o", path("dec.png")});
    ASSERT_EQ(d.code, 0) << describe(d);
    EXPECT_NEAR(parsePeriod(d.out), 40.0, 1.0) << "the period scales with the resolution: " << d.out;
}

TEST(CliPictures, DeepProjectOutputNarrowsBackToTheEightBitValue) {
    // The effect widens an 8-bit value v to trunc(32768 v / 255) or v / 255.0f; writing an 8-bit file rounds to
    // nearest, which must give v back for all 256 values.
    for (vbhost::Depth depth : {vbhost::Depth::k16, vbhost::Depth::k32}) {
        vbhost::Image img(256, 1, depth);
        for (int v = 0; v < 256; ++v) {
            float wide = depth == vbhost::Depth::k16 ? float(int(32768.0 * v / 255.0)) : float(v) / 255.0f;
            for (int c = 0; c < 4; ++c) img.at(v, 0)[c] = wide;
        }
        Picture pic = vbcli::FromHostImage(img);
        ASSERT_EQ(pic.channels, 4);  // value 0 in alpha makes it not opaque
        for (int v = 0; v < 256; ++v)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(vbcli::QuantizeUnit(pic.at(v, 0)[c], 255), unsigned(v)) << "value " << v << " depth " << int(depth);
    }
    // And 16-bit files reach the host's 0..32768 range at both ends and in between, rounded.
    Picture p16(3, 1, 1, 16);
    p16.data = {0.0f, 1.0f, 32768.0f / 65535.0f};
    vbhost::Image h = vbcli::ToHostImage(p16);
    EXPECT_EQ(h.depth, vbhost::Depth::k16);
    EXPECT_EQ(h.at(0, 0)[1], 0.0f);
    EXPECT_EQ(h.at(1, 0)[1], 32768.0f);
    EXPECT_EQ(h.at(2, 0)[1], 16384.0f);
    EXPECT_EQ(h.at(1, 0)[0], 32768.0f) << "no alpha channel means opaque";
}

TEST(CliPictures, HostPictureTakesEveryLayoutAndRoundsHalfAwayFromZero) {
    // Values that sit exactly on, just below and just above a half step after scaling, the ends, values outside
    // 0..1 and NaN; each goes through every channel layout, in every channel the layout has.
    const float values[] = {0.0f, 1.0f, -0.25f, 1.5f, 0.5f / 255.0f, 1.5f / 255.0f, 127.5f / 255.0f,
                            std::nextafter(127.5f / 255.0f, 0.0f), std::nextafter(127.5f / 255.0f, 1.0f),
                            0.5f / 32768.0f, 16383.5f / 32768.0f, 0.3f, std::nanf(""),
                            // scales to the float just below 0.5, where adding 0.5 in float rounds up to 1
                            std::nextafter(0.5f, 0.0f) / 32768.0f};
    const int n = int(sizeof values / sizeof values[0]);
    for (int bits : {8, 16, 32}) {
        const float scale = bits == 8 ? 255.0f : bits == 16 ? 32768.0f : 1.0f;
        auto expected = [&](float v) { return bits == 32 ? v : std::round(std::clamp(v, 0.0f, 1.0f) * scale); };
        auto same = [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); };
        for (int channels = 1; channels <= 4; ++channels) {
            Picture pic(n, 1, channels, bits);
            // Each channel gets its own value (shifted through the table), so a channel read from the wrong
            // place shows.
            for (int x = 0; x < n; ++x)
                for (int c = 0; c < channels; ++c) pic.at(x, 0)[c] = values[(x + c) % n];
            vbhost::Image img = vbcli::ToHostImage(pic);
            for (int x = 0; x < n; ++x) {
                const float *s = pic.at(x, 0);
                const float r = s[0], g = channels >= 3 ? s[1] : s[0], b = channels >= 3 ? s[2] : s[0];
                const float a = channels == 2 ? s[1] : channels == 4 ? s[3] : 1.0f;
                const float want[4] = {expected(a), expected(r), expected(g), expected(b)};
                for (int c = 0; c < 4; ++c)
                    EXPECT_TRUE(same(img.at(x, 0)[c], want[c]))
                        << bits << "-bit, " << channels << " channel(s), pixel " << x << ", host channel " << c
                        << ": got " << img.at(x, 0)[c] << ", want " << want[c];
            }
        }
    }
}

// The 8-bit project's packed pictures are the ones the float pictures would have given, byte for byte: the layer
// as the host rounds ToHostImage's picture, the output as FromHostImage makes it and an 8-bit file stores it.
TEST(CliPictures, PackedEightBitPicturesAreTheHostPicturesRounded) {
    const float values[] = {0.0f, 1.0f, -0.25f, 1.5f, 0.5f / 255.0f, 127.5f / 255.0f,
                            std::nextafter(127.5f / 255.0f, 0.0f), 0.3f, std::nanf(""), 254.5f / 255.0f};
    const int n = int(sizeof values / sizeof values[0]);
    for (int channels = 1; channels <= 4; ++channels) {
        Picture pic(n, 1, channels, 8);
        for (int x = 0; x < n; ++x)
            for (int c = 0; c < channels; ++c) pic.at(x, 0)[c] = values[(x + c) % n];
        const vbhost::Image img = vbcli::ToHostImage(pic);
        const vbhost::PackedImage packed = vbcli::ToPacked8(pic);
        ASSERT_EQ(packed.bytes.size(), std::size_t(4 * n));
        for (std::size_t i = 0; i < packed.bytes.size(); ++i) {
            const float host = std::isnan(img.argb[i]) ? 0.0f : img.argb[i];  // the host lends NaN as 0
            ASSERT_EQ(float(packed.bytes[i]), host) << channels << " channel(s), host channel value " << i;
        }
    }
    // Every byte in every channel, once with every pixel opaque (RGB comes out) and once not (RGBA).
    for (bool opaque : {true, false}) {
        vbhost::PackedImage out{256, 1, vbhost::Depth::k8, std::vector<unsigned char>(4 * 256)};
        vbhost::Image img(256, 1, vbhost::Depth::k8);
        for (int v = 0; v < 256; ++v)
            for (int c = 0; c < 4; ++c) {
                const int byte = c == 0 && opaque ? 255 : (v + 61 * c) % 256;
                out.bytes[std::size_t(4 * v + c)] = static_cast<unsigned char>(byte);
                img.at(v, 0)[c] = float(byte);
            }
        const vbcli::Picture8 got = vbcli::FromPacked8(out);
        const Picture want = vbcli::FromHostImage(img);
        ASSERT_EQ(got.channels, want.channels) << (opaque ? "opaque" : "transparent");
        ASSERT_EQ(got.channels, opaque ? 3 : 4);
        for (std::size_t i = 0; i < got.data.size(); ++i)
            ASSERT_EQ(unsigned(got.data[i]), vbcli::QuantizeUnit(want.data[i], 255)) << "sample " << i;
    }
}

TEST_F(CliTest, EightBitPicturesWriteAsTheirNormalisedFloatsWould) {
    for (const char *ext : {"png", "pam", "ppm", "pgm", "jpg", "tif", "exr"})
        for (int channels : {3, 4}) {
            const std::string which = std::string(ext) + ", " + std::to_string(channels) + " channels";
            vbcli::Picture8 pic;
            pic.width = 37;
            pic.height = 11;
            pic.channels = channels;
            pic.data.resize(std::size_t(37 * 11 * channels));
            for (std::size_t i = 0; i < pic.data.size(); ++i) pic.data[i] = static_cast<unsigned char>((i * 7) % 256);
            Picture normalised(37, 11, channels, 8);
            for (std::size_t i = 0; i < pic.data.size(); ++i) normalised.data[i] = float(pic.data[i]) * (1.0f / 255.0f);
            const std::string a = path(std::string("bytes.") + ext), b = path(std::string("floats.") + ext);
            vbcli::WritePicture8(a, pic);
            vbcli::WritePicture(b, normalised, 8);
            EXPECT_TRUE(slurp(a) == slurp(b)) << which;
        }
    vbcli::Picture8 bad;
    bad.width = 4;
    bad.height = 4;
    bad.channels = 3;
    bad.data.resize(10);
    EXPECT_THROW(vbcli::WritePicture8(path("bad.png"), bad), vbcli::ImageError);
    EXPECT_FALSE(fs::exists(path("bad.png")));
}

// In an 8-bit project a 16-bit depth map reaches the effect as the host narrows it (rounded once to 16 bits and
// again to 8), which rounding the file's values straight to 8 bits would not always match.
TEST_F(CliTest, SixteenBitDepthInAnEightBitProjectIsNarrowedByTheHost) {
    Picture d16(300, 40, 1, 16);
    for (std::size_t i = 0; i < d16.data.size(); ++i) d16.data[i] = float((i * 37) % 65536) / 65535.0f;
    vbcli::WritePicture(path("d16.png"), d16, 16);
    const vbhost::Image narrowed = vbhost::ConvertImage(vbcli::ToHostImage(d16), vbhost::Depth::k8);
    Picture d8(300, 40, 1, 8);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 300; ++x) *d8.at(x, y) = narrowed.at(x, y)[1] / 255.0f;
    vbcli::WritePicture(path("d8.png"), d8, 8);
    Picture texture(23, 17, 3, 8);
    for (std::size_t i = 0; i < texture.data.size(); ++i) texture.data[i] = float((i * 53) % 256) / 255.0f;
    vbcli::WritePicture(path("t.png"), texture, 8);
    const std::vector<std::string> common = {"--texture", path("t.png"), "--oversampling", "2", "--quiet"};
    auto render = [&](std::vector<std::string> args) {
        args.insert(args.end(), common.begin(), common.end());
        const RunResult r = run(args);
        EXPECT_EQ(r.code, 0) << describe(r);
    };
    render({"render", path("d16.png"), "--bit-depth", "8", "-o", path("from16.png")});
    render({"render", path("d8.png"), "-o", path("from8.png")});
    EXPECT_TRUE(slurp(path("from16.png")) == slurp(path("from8.png")));
}

TEST_F(CliTest, EffectFlagsReachTheEffect) {
    vbcli::WritePicture(path("d.png"), sceneDepth(240, 80), 8);
    auto render = [&](std::vector<std::string> extra, const std::string &out) {
        std::vector<std::string> args = {"render", path("d.png"), "--seed", "3", "--threads", "1", "--oversampling", "1",
                                         "-o", path(out), "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        RunResult r = run(args);
        EXPECT_EQ(r.code, 0) << describe(r);
        return vbcli::ReadPicture(path(out));
    };
    auto onlyBlackAndWhite = [](const Picture &p) {
        for (float v : p.data)
            if (v != 0.0f && v != 1.0f) return false;
        return true;
    };
    Picture dots = render({"--pattern", "dots"}, "dots.png");
    EXPECT_EQ(dots.channels, 3) << "an opaque stereogram is written without alpha";
    EXPECT_TRUE(onlyBlackAndWhite(dots)) << "Random Dots are black or white";
    Picture colour = render({"--pattern", "color-dots"}, "colour.png");
    EXPECT_FALSE(onlyBlackAndWhite(colour)) << "--pattern color-dots gave black and white dots";
    Picture plain = render({}, "plain.png");
    Picture blurred = render({"--post", "--blur", "2"}, "blurred.png");
    Picture unposted = render({"--blur", "2"}, "unposted.png");
    EXPECT_TRUE(plain.data == unposted.data) << "without --post, --blur must change nothing";
    EXPECT_FALSE(plain.data == blurred.data) << "--post --blur 2 changed nothing";
    EXPECT_TRUE(plain.data == dots.data) << "the default pattern is Random Dots";
}

TEST_F(CliTest, InterruptLeavesOnlyCompleteFiles) {
    // A long sequence interrupted while frames are being written: the frames written are whole, and no
    // temporary file stays behind.
    vbcli::WritePicture(path("depth.0001.png"), sceneDepth(1280, 720), 8);
    for (int f = 2; f <= 60; ++f)
        fs::copy_file(path("depth.0001.png"), path(vbcli::ExpandFramePattern("depth.####.png", f)));
    RunResult r = runCli({"render", path("depth.####.png"), "--frames", "1-60", "--threads", "2", "-o",
                          path("out.####.png"), "--quiet"},
                         dir_, 1500);
    EXPECT_NE(r.code, 0) << "the render was not interrupted: " << describe(r);
    int complete = 0;
    for (const auto &e : fs::directory_iterator(dir_)) {
        std::string name = e.path().filename().string();
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << "left behind: " << name;
        if (name.rfind("out.", 0) == 0) {
            Picture p = vbcli::ReadPicture(e.path().string());
            EXPECT_EQ(p.width, 1280) << name;
            ++complete;
        }
    }
    EXPECT_LT(complete, 60);
}

// ---------------------------------------------------------------- errors

TEST_F(CliTest, ErrorsNameTheCulpritAndLeaveNoOutput) {
    vbcli::WritePicture(path("d.png"), sceneDepth(200, 60), 8);
    std::ofstream(path("junk.png")) << "not a png";
    struct Case {
        std::vector<std::string> args;
        const char *message;
        int code;
    };
    const std::string out = path("out.png");
    const Case cases[] = {
        {{"render", path("missing.png"), "-o", out}, "missing.png", 2},
        {{"render", path("junk.png"), "-o", out}, "junk.png", 2},
        {{"render", path("d.png"), "-o", out, "--texture", path("missing-tex.png")}, "missing-tex.png", 2},
        {{"render", path("d.png"), "-o", out, "--frobnicate"}, "unknown option '--frobnicate'", 2},
        {{"render", path("d.png"), "-o", out, "--period", "5"}, "--period 5", 2},
        {{"render", path("d.png"), "-o", out, "--period", "abc"}, "--period: 'abc' is not a number", 2},
        {{"render", path("d.png"), "-o", out, "--oversampling", "11"}, "--oversampling 11", 2},
        {{"render", path("d.png"), "-o", out, "--blur", "101", "--post"}, "--blur 101", 2},
        {{"render", path("d.png"), "-o", out, "--pattern", "stripes"}, "--pattern: 'stripes'", 2},
        {{"render", path("d.png"), "-o", out, "--pattern", "texture"}, "--texture FILE", 2},
        {{"render", path("depth.####.png"), "-o", out}, "no --frames", 2},
        {{"render", path("d.png"), "-o", out, "--frames", "1-3"}, "holds no frame pattern", 2},
        {{"render", path("d.png"), "-o", path("out.jpg"), "--out-bits", "16"}, "JPEG", 2},
        {{"render", path("d.png"), "-o", path("out.bmp")}, "unknown picture format", 2},
        {{"render", path("d.png"), "-o", path("nodir/out.png")}, "nodir/out.png", 2},
        {{"render", path("d.png"), "-o", out, "--plugin", path("nothing.so")}, "nothing.so", 2},
        {{"render", path("d.png"), "-o", out, "--plugin", VELLUMBRA_FAKE_NO_ENTRY_PATH}, "cannot load plug-in", 2},
        {{"render", path("d.png"), "-o", out, "--plugin", VELLUMBRA_FAKE_FAILING_PATH}, "error 4", 1},
        {{"render"}, "no DEPTH", 2},
        {{"render", path("d.png"), "-o", path("d.png")}, "would overwrite the source", 2},
        {{"render", path("d.png"), "--texture", path("d.png"), "-o", path("./d.png")}, "would overwrite", 2},
        {{"decode", path("d.png"), "-o", path("d.png")}, "would overwrite the stereogram", 2},
        {{"decode", path("missing.png"), "-o", out}, "missing.png", 2},
        {{"decode", path("d.png"), "-o", out, "--mode", "sideways"}, "--mode: 'sideways'", 2},
        {{"info", "--plugin", VELLUMBRA_FAKE_NO_ENTRY_PATH}, "cannot load plug-in", 2},
        {{"paint"}, "unknown command 'paint'", 2},
    };
    const auto before = snapshot();
    for (const Case &c : cases) {
        std::string label;
        for (const std::string &a : c.args) label += a + " ";
        SCOPED_TRACE(label);
        RunResult r = run(c.args);
        EXPECT_EQ(r.code, c.code) << describe(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << describe(r);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
        EXPECT_TRUE(snapshot() == before) << "a file was left behind or changed";
    }
}

TEST_F(CliTest, InfoListsTheParametersInOrder) {
    RunResult r = run({"info"});
    ASSERT_EQ(r.code, 0) << describe(r);
    const char *names[] = {"Depth Map Layer", "Pattern",           "Dot Contrast", "Texture Layer", "Texture Transform",
                           "Stereogram Type", "Repetition Period (px)", "Oversampling", "Post-Processing", "Enable",
                           "Blur",            "Sharpen",           ""};
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> found;
    while (std::getline(lines, line)) {
        std::size_t q = line.find('"');
        if (line.rfind("  ", 0) == 0 && q != std::string::npos && std::isdigit(static_cast<unsigned char>(line[2])))
            found.push_back(line.substr(q + 1, line.find('"', q + 1) - q - 1));
    }
    ASSERT_EQ(found.size(), 14u) << r.out;  // the input layer, then the effect's own
    for (int i = 0; i < 13; ++i) EXPECT_EQ(found[i + 1], names[i]) << "parameter " << i + 1;
    EXPECT_NE(r.out.find("Repetition Period (px)\"  valid 10 to 400, slider 10 to 300, default 100"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"Random Dots|Random Color Dots|Texture\", default 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exported symbols: EffectMain PluginDataEntryFunction\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("name:         Vellumbra"), std::string::npos) << r.out;
}

TEST_F(CliTest, HelpDescribesEveryCommand) {
    for (const char *cmd : {"render", "demo", "decode", "info"}) {
        RunResult r = run({cmd, "--help"});
        EXPECT_EQ(r.code, 0) << cmd;
        EXPECT_NE(r.out.find(std::string("usage: vellumbra ") + cmd), std::string::npos) << cmd << ": " << r.out;
    }
    RunResult r = run({"render", "--help"});
    EXPECT_NE(r.out.find("\"Repetition Period (px)\": 10 to 400, default 100"), std::string::npos) << r.out;
}

TEST_F(CliTest, DemoWritesStereogramAndDepth) {
    RunResult r = run({"demo", "-o", path("demo.png")});
    ASSERT_EQ(r.code, 0) << describe(r);
    EXPECT_NE(r.out.find(path("demo.png")), std::string::npos);
    EXPECT_NE(r.out.find(path("demo.depth.png")), std::string::npos);
    Picture st = vbcli::ReadPicture(path("demo.png"));
    Picture depth = vbcli::ReadPicture(path("demo.depth.png"));
    EXPECT_EQ(st.width, depth.width);
    EXPECT_EQ(st.height, depth.height);
    RunResult d = run({"decode", path("demo.png"), "-o", path("dec.png")});
    ASSERT_EQ(d.code, 0) << describe(d);
    EXPECT_NEAR(parsePeriod(d.out), 100.0, 1.0) << d.out;
}

}  // namespace
