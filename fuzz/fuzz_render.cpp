// Fuzz target: turns its input into parameter values (in or far out of range), small input, depth and texture
// pictures, a frame request and perhaps one failing host call, renders the frame through EffectMain in the
// stand-in host and aborts on anything the plug-in leaves held or any error a clean frame reports. Built as a
// libFuzzer target with VELLUMBRA_LIBFUZZER, otherwise as a program that replays the files and folders it is
// given.
#include "host/host.h"
#include "shell/entry.h"
#include "shell/param_index.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vbhost::Depth;
using vbhost::Host;
using vbhost::Image;

constexpr int kMaxSide = 64;

// Reads the input front to back; past its end every read gives zeros, so any input is a whole case.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return uint16_t(Byte() | (Byte() << 8)); }
    double Raw() {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= uint64_t(Byte()) << (8 * i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // A value in [lo, hi] most of the time; sometimes any double at all (NaN and infinities included).
    double Value(double lo, double hi) {
        const uint8_t mode = Byte();
        if (mode >= 224) return Raw();
        return lo + (hi - lo) * (U16() / 65535.0);
    }
    int Side() { return 1 + Byte() % kMaxSide; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "fuzz_render: %s\n", what.c_str());
    std::abort();
}

// A grey picture whose levels come from the input, one byte per pixel.
Image GreyPicture(Reader &in) {
    const int w = in.Side(), h = in.Side();
    Image img(w, h, Depth::k8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float v = in.Byte();
            float *p = img.at(x, y);
            p[0] = 255;
            p[1] = p[2] = p[3] = v;
        }
    return img;
}

// A coloured picture with alpha, four bytes per pixel.
Image ColourPicture(Reader &in) {
    const int w = in.Side(), h = in.Side();
    Image img(w, h, Depth::k8);
    for (float &v : img.argb) v = in.Byte();
    return img;
}

// Host calls whose failure must end with nothing left held: releases and the render's access to its own record
// are left out, as their failure leaves by design what they were to give back.
const char *const kFaultOps[] = {
    "checkout_param",     "checkout_layer", "checkout_layer_pixels", "checkout_output",
    "host_new_handle",    "new_world",      "copy",                  "transform_world",
    "PF_GetPixelFormat",  "AEGP_New",       "AEGP_GetRowBytes",      "AEGP_GetBaseAddr8",
    "AEGP_FastBlur",      "AEGP_FillOutPFEffectWorld",               "convolve",
    "ceil",               "PF_UpdateParamUI",
};

void RenderOne(const uint8_t *data, size_t size) {
    Reader in(data, size);
    vbhost::HostOptions options;
    options.project_depth = Depth::k8;
    const uint8_t depth_choice = in.Byte() % 3;
    if (depth_choice == 1) options.project_depth = Depth::k16;
    if (depth_choice == 2) options.project_depth = Depth::k32;
    options.row_padding_bytes = in.Byte() % 48;
    Host host(options);
    host.SetEffect(&EffectMain, &PluginDataEntryFunction);
    if (host.Send(PF_Cmd_GLOBAL_SETUP) != PF_Err_NONE || host.Send(PF_Cmd_PARAMS_SETUP) != PF_Err_NONE)
        Fail("set-up failed");

    const uint8_t layers = in.Byte();
    host.SetInputLayer(host.AddLayer(vbhost::Layer{{ColourPicture(in)}}));
    if (layers & 1) host.SetLayerParam(PARAM_DEPTH_LAYER, host.AddLayer(vbhost::Layer{{GreyPicture(in)}}));
    if (layers & 2) host.SetLayerParam(PARAM_TEXTURE_LAYER, host.AddLayer(vbhost::Layer{{ColourPicture(in)}}));

    // Forced, as a damaged project would hold them: the host does not check them.
    host.ForceParamValue(PARAM_PATTERN, in.Value(0, 4));
    host.ForceParamValue(PARAM_DOT_CONTRAST, in.Value(-10, 110));
    host.ForceParamValue(PARAM_TEXTURE_TRANSFORM, in.Value(0, 3));
    host.ForceParamValue(PARAM_STEREOGRAM_TYPE, in.Value(0, 3));
    host.ForceParamValue(PARAM_PERIOD, in.Value(0, 420));
    host.ForceParamValue(PARAM_OVERSAMPLING, in.Value(-1, 12));
    host.ForceParamValue(PARAM_POST_ENABLE, in.Value(-1, 2));
    host.ForceParamValue(PARAM_BLUR, in.Value(-1, 8));
    host.ForceParamValue(PARAM_SHARPEN, in.Value(-1, 8));

    vbhost::FrameRequest request;
    request.downsample = 1 + in.Byte() % 3;
    const uint8_t rect = in.Byte();
    if (rect & 1) {
        request.rect = PF_LRect{A_long(in.Byte() % 80) - 8, A_long(in.Byte() % 80) - 8, A_long(in.Byte() % 80) - 8,
                                A_long(in.Byte() % 80) - 8};
    }
    request.field = in.Byte() % 3;
    request.quality = in.Byte() % 2;

    const uint8_t fault = in.Byte();
    const size_t fault_count = sizeof kFaultOps / sizeof kFaultOps[0];
    const bool faulty = fault < 2 * fault_count;
    if (faulty) host.AddFault(vbhost::Fault{kFaultOps[fault % fault_count], 1 + in.Byte() % 6, 77});

    if (host.Send(PF_Cmd_UPDATE_PARAMS_UI) != PF_Err_NONE && !faulty) Fail("UI update failed");
    const vbhost::FrameResult r = host.RenderFrame(request);
    if (!faulty && (r.pre_render_err != PF_Err_NONE || r.render_err != PF_Err_NONE))
        Fail("clean frame failed: pre-render " + std::to_string(r.pre_render_err) + ", render " +
             std::to_string(r.render_err));
    const vbhost::Ledger ledger = host.ledger();
    if (!ledger.empty()) Fail("the plug-in left " + ledger.describe());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    RenderOne(data, size);
    return 0;
}

#if !defined(VELLUMBRA_LIBFUZZER)
#include <filesystem>
#include <fstream>
#include <iterator>

// Replays every file named, and every file in every folder named.
int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        if (fs::is_directory(arg)) {
            for (const auto &entry : fs::directory_iterator(arg))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (fs::is_regular_file(arg)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "fuzz_render: no such file or folder: %s\n", argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: fuzz_render FILE_OR_FOLDER...\n");
        return 2;
    }
    for (const fs::path &file : files) {
        std::ifstream stream(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.string().c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    std::printf("fuzz_render: %zu inputs replayed, all clean\n", files.size());
    return 0;
}
#endif
