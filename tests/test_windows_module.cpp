// The Windows deliverable as the host meets it: Vellumbra.aex loaded from its file by the system loader, its
// exports, imports and resources, and frames rendered through the loaded module in the stand-in host.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"
#include "resources/pipl.h"
#include "shell/identity.h"
#include "shell/param_index.h"

namespace {

using vbhost::Depth;
using vbhost::FrameResult;
using vbhost::Host;
using vbhost::Image;
using vbhost::Layer;

const char *const kPluginPath = VELLUMBRA_PLUGIN_PATH;

// The module as the system loader maps it, for reading its headers and resources.
struct LoadedImage {
    HMODULE module = LoadLibraryA(kPluginPath);
    ~LoadedImage() {
        if (module) FreeLibrary(module);
    }
    const std::uint8_t *base() const { return reinterpret_cast<const std::uint8_t *>(module); }
    const IMAGE_NT_HEADERS64 *nt() const {
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base());
        return reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base() + dos->e_lfanew);
    }
    const IMAGE_DATA_DIRECTORY &directory(int index) const { return nt()->OptionalHeader.DataDirectory[index]; }
    template <typename T>
    const T *at(DWORD rva) const { return reinterpret_cast<const T *>(base() + rva); }
};

TEST(WindowsModule, LoadsFromItsFileAndFindsBothEntryPoints) {
    vbhost::Module module(kPluginPath);
    ASSERT_TRUE(module.ok()) << module.error();
    EXPECT_NE(module.effect_main(), nullptr);
    EXPECT_NE(module.entry(), nullptr);

    Host host;
    host.SetEffect(module.effect_main(), module.entry());
    Host::Announcement a;
    ASSERT_EQ(host.Announce(&a), PF_Err_NONE);
    const vellumbra::EffectIdentity &id = vellumbra::kIdentity;
    EXPECT_EQ(a.name, id.name);
    EXPECT_EQ(a.match_name, id.match_name);
    EXPECT_EQ(a.category, id.category);
    EXPECT_EQ(a.entry_point, "EffectMain");
    EXPECT_EQ(a.kind, vellumbra::FourCharCode("eFKT"));
    EXPECT_EQ(a.calls, 1);
}

TEST(WindowsModule, ExportsExactlyTheTwoEntryPointsUndecorated) {
    LoadedImage image;
    ASSERT_NE(image.module, nullptr) << "LoadLibrary failed: " << GetLastError();
    const IMAGE_DATA_DIRECTORY &dir = image.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(dir.VirtualAddress, 0u) << "no export directory";
    const auto *exports = image.at<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
    std::set<std::string> names;
    const auto *name_rvas = image.at<DWORD>(exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.insert(image.at<char>(name_rvas[i]));
    EXPECT_EQ(names, (std::set<std::string>{"EffectMain", "PluginDataEntryFunction"}));
    EXPECT_EQ(exports->NumberOfFunctions, 2u) << "exports by ordinal only";
}

// Lower-case DLL name, for comparisons that Windows makes case-insensitively.
std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

TEST(WindowsModule, ImportsOnlySystemLibraries) {
    LoadedImage image;
    ASSERT_NE(image.module, nullptr);
    const IMAGE_DATA_DIRECTORY &dir = image.directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    ASSERT_NE(dir.VirtualAddress, 0u) << "no import directory: not even KERNEL32";
    std::set<std::string> dlls;
    for (const auto *d = image.at<IMAGE_IMPORT_DESCRIPTOR>(dir.VirtualAddress); d->Name != 0; ++d) {
        dlls.insert(Lower(image.at<char>(d->Name)));
    }
    EXPECT_TRUE(dlls.count("kernel32.dll")) << "KERNEL32 not among the imports";
    for (const std::string &dll : dlls) {
        const bool system = dll == "kernel32.dll" || dll == "msvcrt.dll" || dll == "ucrtbase.dll" ||
                            dll.rfind("api-ms-win-crt-", 0) == 0;
        EXPECT_TRUE(system) << "the module imports " << dll
                            << ": the C++ runtime, libgcc and winpthread must be linked in statically";
    }
}

std::vector<std::uint8_t> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(WindowsModule, CarriesThePropertyListAsNamedResourcePIPL16000InUsEnglish) {
    LoadedImage image;
    ASSERT_NE(image.module, nullptr);
    HRSRC found = FindResourceExA(image.module, "PIPL", MAKEINTRESOURCEA(vellumbra::kPiplResourceId),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(found, nullptr) << "no resource PIPL 16000 in language 1033";
    HGLOBAL loaded = LoadResource(image.module, found);
    ASSERT_NE(loaded, nullptr);
    const auto *bytes = static_cast<const std::uint8_t *>(LockResource(loaded));
    const std::vector<std::uint8_t> resource(bytes, bytes + SizeofResource(image.module, found));

    EXPECT_EQ(resource.size(), 286u);
    EXPECT_EQ(resource, vellumbra::BuildPipl()) << "differs from the builder's Windows property list";
    EXPECT_EQ(resource, ReadFile(VELLUMBRA_PIPL_FILE)) << "differs from the generated file " << VELLUMBRA_PIPL_FILE;
}

TEST(WindowsModule, CarriesTheManifestAndAVersionResourceFromTheIdentity) {
    LoadedImage image;
    ASSERT_NE(image.module, nullptr);
    HRSRC manifest = FindResourceA(image.module, MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(manifest, nullptr) << "no manifest under ISOLATIONAWARE_MANIFEST_RESOURCE_ID";
    const char *text = static_cast<const char *>(LockResource(LoadResource(image.module, manifest)));
    const std::string manifest_text(text, SizeofResource(image.module, manifest));
    EXPECT_NE(manifest_text.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(kPluginPath, &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(kPluginPath, 0, size, info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    const A_u_long v = vellumbra::kIdentity.my_version;
    const DWORD version = ((v >> 26) & 0xF) << 3 | ((v >> 19) & 0x7);
    EXPECT_EQ(fixed->dwFileVersionMS, version << 16 | ((v >> 15) & 0xF));
    EXPECT_EQ(fixed->dwFileVersionLS, ((v >> 11) & 0xF) << 16 | (v & 0x1FF));

    char *product = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductName",
                               reinterpret_cast<void **>(&product), &length));
    EXPECT_STREQ(product, vellumbra::kIdentity.name);
}

// ---------------------------------------------------------------------------------------------------------
// Frames through the loaded module.

Image Flat(int w, int h, float value) {
    Image img(w, h, Depth::k8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float *p = img.at(x, y);
            p[0] = 255.0f, p[1] = p[2] = p[3] = value;
        }
    return img;
}

// A texture with no repetition of its own, so that a stereogram drawn from it shows only the effect's.
Image Texture(int w, int h) {
    Image img(w, h, Depth::k8);
    std::uint32_t state = 12345;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float *p = img.at(x, y);
            p[0] = 255.0f;
            for (int c = 1; c < 4; ++c) {
                state = state * 1664525u + 1013904223u;
                p[c] = float(state >> 24);
            }
        }
    return img;
}

// The stand-in host driving the module loaded from its file, with input, depth and texture layers.
struct ModuleScene {
    static constexpr int kWidth = 400;
    static constexpr int kHeight = 6;

    vbhost::Module module{kPluginPath};
    Host host;
    int depth_id = 0;

    explicit ModuleScene(Depth project) : host(Options(project)) {
        host.SetEffect(module.effect_main(), module.entry());
        EXPECT_EQ(host.Send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
        EXPECT_EQ(host.Send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
        host.SetInputLayer(host.AddLayer(Layer{{Flat(kWidth, kHeight, 40.0f)}}));
        host.SetLayerParam(PARAM_TEXTURE_LAYER, host.AddLayer(Layer{{Texture(150, 40)}}));
        SetDepth(255.0f);
        Set(PARAM_PERIOD, 100);
        Set(PARAM_OVERSAMPLING, 1);
    }
    static vbhost::HostOptions Options(Depth project) {
        vbhost::HostOptions options;
        options.project_depth = project;
        return options;
    }
    void SetDepth(float luminance) {
        host.SetLayerParam(PARAM_DEPTH_LAYER, host.AddLayer(Layer{{Flat(kWidth, kHeight, luminance)}}));
    }
    void Set(int index, double value) {
        std::string error;
        EXPECT_TRUE(host.SetParamValue(index, value, &error)) << error;
    }
    // Renders one frame and returns it narrowed to 8 bits, failing the test on any error or leak.
    Image Render(const std::string &what) {
        FrameResult r = host.RenderFrame({});
        EXPECT_EQ(r.pre_render_err, PF_Err_NONE) << what;
        EXPECT_EQ(r.render_err, PF_Err_NONE) << what;
        EXPECT_TRUE(host.ledger().empty()) << what << ": " << host.ledger().describe();
        EXPECT_EQ(r.output.width, kWidth) << what;
        EXPECT_EQ(r.output.height, kHeight) << what;
        return r.output.depth == Depth::k8 ? r.output : vbhost::ConvertImage(r.output, Depth::k8);
    }
};

bool SamePixel(const Image &img, int x1, int x2, int y) {
    for (int c = 0; c < 4; ++c)
        if (img.at(x1, y)[c] != img.at(x2, y)[c]) return false;
    return true;
}

// The smallest shift s with row[x] == row[x - s] for every x of the row: the repetition a flat depth map gives.
int RowPeriod(const Image &img, int y) {
    for (int s = 1; s < img.width; ++s) {
        bool repeats = true;
        for (int x = s; x < img.width && repeats; ++x) repeats = SamePixel(img, x, x - s, y);
        if (repeats) return s;
    }
    return 0;
}

const char *DepthName(Depth d) { return d == Depth::k8 ? "8-bit" : d == Depth::k16 ? "16-bit" : "float"; }

TEST(WindowsModuleRender, FlatDepthMapsRepeatAtTheSeparationOfTheirDepthInEveryProjectDepthAndPattern) {
    struct Case {
        int type;
        float luminance;
        int separation;
    };
    const Case cases[] = {
        {STEREOGRAM_DIVERGENCE, 255.0f, 70},  {STEREOGRAM_DIVERGENCE, 0.0f, 109},
        {STEREOGRAM_DIVERGENCE, 128.0f, 91},  {STEREOGRAM_CONVERGENCE, 255.0f, 149},
        {STEREOGRAM_CONVERGENCE, 0.0f, 96},
    };
    for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) {
        ModuleScene scene(depth);
        ASSERT_TRUE(scene.module.ok()) << scene.module.error();
        for (int pattern : {PATTERN_RANDOM_DOTS, PATTERN_RANDOM_COLOR_DOTS, PATTERN_TEXTURE}) {
            scene.Set(PARAM_PATTERN, pattern);
            for (const Case &c : cases) {
                const std::string what = std::string(DepthName(depth)) + ", pattern " + std::to_string(pattern) +
                                         ", type " + std::to_string(c.type) + ", luminance " +
                                         std::to_string(int(c.luminance));
                scene.Set(PARAM_STEREOGRAM_TYPE, c.type);
                scene.SetDepth(c.luminance);
                const Image out = scene.Render(what);
                for (int y = 0; y < out.height; ++y) {
                    EXPECT_EQ(RowPeriod(out, y), c.separation) << what << ", row " << y;
                }
                if (pattern == PATTERN_RANDOM_DOTS) {
                    for (int x = 0; x < out.width; ++x) {
                        const float *p = out.at(x, 0);
                        EXPECT_EQ(p[0], 255.0f) << what << ": alpha at " << x;
                        EXPECT_TRUE(p[1] == p[2] && p[2] == p[3] && (p[1] == 0.0f || p[1] == 255.0f))
                            << what << ": not a black or white dot at " << x;
                    }
                }
            }
        }
    }
}

struct Post {
    bool on;
    double blur, sharpen;
};

// One frame of the texture pattern (cropped, so deterministic) over a mid-grey depth map.
Image RenderTexture(Depth depth, const Image &texture, const Post &post) {
    ModuleScene scene(depth);
    EXPECT_TRUE(scene.module.ok()) << scene.module.error();
    scene.host.SetLayerParam(PARAM_TEXTURE_LAYER, scene.host.AddLayer(Layer{{texture}}));
    scene.Set(PARAM_PATTERN, PATTERN_TEXTURE);
    scene.Set(PARAM_TEXTURE_TRANSFORM, TEXTURE_CROPPING);
    scene.SetDepth(128.0f);
    scene.Set(PARAM_POST_ENABLE, post.on ? 1 : 0);
    scene.Set(PARAM_BLUR, post.blur);
    scene.Set(PARAM_SHARPEN, post.sharpen);
    return scene.Render(DepthName(depth));
}

// What the first narrowing of a 16-bit output does to an 8-bit value v: it was written as
// trunc(32768 v / 255), which the truncating narrowing reads back as v - 1 for every v strictly between 0
// and 255.
Image WithSixteenBitRoundTrip(Image img) {
    for (std::size_t i = 0; i < img.argb.size(); ++i) {
        float &v = img.argb[i];
        if (v > 0.0f && v < 255.0f) v -= 1.0f;
    }
    return img;
}

TEST(WindowsModuleRender, TexturePatternAndPostProcessingAgreeAcrossProjectDepths) {
    const Image texture = Texture(150, 40);
    for (const Post post : {Post{false, 0, 0}, Post{true, 2.0, 0}, Post{true, 1.5, 1.0}}) {
        const std::string what = "post-processing " + std::string(post.on ? "on" : "off") + ", blur " +
                                 std::to_string(post.blur) + ", sharpen " + std::to_string(post.sharpen);
        const Image p8 = RenderTexture(Depth::k8, texture, post);
        const Image p16 = RenderTexture(Depth::k16, texture, post);
        const Image p32 = RenderTexture(Depth::k32, texture, post);
        EXPECT_EQ(p32.argb, p8.argb) << what << ": float differs from 8-bit";
        if (!post.on) {
            EXPECT_EQ(p16.argb, p8.argb) << what << ": 16-bit differs from 8-bit";
            EXPECT_EQ(RowPeriod(p8, 0), 91) << what;
            continue;
        }
        // Post-processing reads the 16-bit stereogram back at 8 bits once, losing one level of every value
        // strictly between 0 and 255; the frame equals the 8-bit one made from a texture with that loss.
        EXPECT_EQ(p16.argb, RenderTexture(Depth::k8, WithSixteenBitRoundTrip(texture), post).argb)
            << what << ": 16-bit differs from 8-bit";
        EXPECT_NE(p8.argb, RenderTexture(Depth::k8, texture, Post{false, 0, 0}).argb)
            << what << ": post-processing left the frame unchanged";
    }
}

}  // namespace
