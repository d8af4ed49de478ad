// The stand-in host: implements the calls the effect makes, records them, and can be told to fail any of them.
#pragma once

#include "api/effect_api.h"
#include "api/suites.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vbhost {

enum class Depth { k8 = 8, k16 = 16, k32 = 32 };

// A picture held by the host or handed to it: channels alpha, red, green, blue per pixel, each a float holding
// a value in the depth's nominal range (0..255, 0..32768 or 0.0..1.0). Floats hold every 8- and 16-bit value
// exactly, so one type serves all three depths.
struct Image {
    int width = 0;
    int height = 0;
    Depth depth = Depth::k8;
    std::vector<float> argb;  // 4 * width * height

    Image() = default;
    Image(int w, int h, Depth d) : width(w), height(h), depth(d), argb(std::size_t(4) * w * h, 0.0f) {}
    float *at(int x, int y) { return &argb[(std::size_t(y) * width + x) * 4]; }
    const float *at(int x, int y) const { return &argb[(std::size_t(y) * width + x) * 4]; }
};

// Host-side widening of an 8-bit channel into a deeper project, chosen so that the effect's narrowing rules
// give the 8-bit value back exactly for all 256 values.
float Widen8(std::uint8_t v, Depth to);
// Converts a picture to another depth (widening as above; narrowing rounds to nearest).
Image ConvertImage(const Image &src, Depth to);

// A layer is one picture for all times, or a sequence: frame i shows from time i * time_step on (the last one
// holds beyond the end).
struct Layer {
    std::vector<Image> frames;
};

// A picture laid out as a world of its depth holds it: height rows of width pixels, alpha, red, green and blue,
// each channel an unsigned 8-bit or 16-bit integer or a float, rows packed one after another. For callers that
// hold pixels so already (a file's 8-bit samples, a blank layer), it spares the float picture in between.
struct PackedImage {
    int width = 0;
    int height = 0;
    Depth depth = Depth::k8;
    std::vector<unsigned char> bytes;  // width * height pixels; as a layer, empty bytes stand for all zeros
};

// What the plug-in holds at the moment. A well-behaved command leaves all of it at zero.
struct Ledger {
    int suites = 0;           // acquisitions not yet released
    int handles = 0;          // handles not yet disposed
    int locked_handles = 0;   // handles locked and not unlocked
    int worlds = 0;           // worlds made with new_world or AEGP_New and not disposed
    int layer_checkouts = 0;  // checkout_layer_pixels without checkin
    int param_checkouts = 0;  // checkout_param without checkin_param
    std::vector<std::string> suite_names;  // the suites counted in `suites`, in name order
    // Worlds found damaged when released: row padding overwritten (a write beyond a row's end), or the pixels of
    // a layer the host lent for reading changed.
    int damaged_worlds = 0;
    bool empty() const;
    std::string describe() const;  // e.g. "suites=1 (PF Handle Suite) worlds=2"
};

// One host call as the plug-in made it: the operation's name (e.g. "new_world", "copy",
// "AcquireSuite:PF Handle Suite", "host_new_handle", "checkout_param") and its result.
struct CallRecord {
    std::string op;
    PF_Err result = PF_Err_NONE;
};

// A rule that makes the nth call (1-based, counted per operation name from the rule's setting) of an operation
// fail with err. Operations without an error result fail their own way: host_new_handle and
// host_lock_handle return null, AcquireSuite reports the error and no table.
struct Fault {
    std::string op;
    int nth = 1;
    PF_Err err = PF_Err_INTERNAL_STRUCT_DAMAGED;
};

// What the host asks of one frame.
struct FrameRequest {
    A_long time = 0;        // in time_scale units
    int downsample = 1;     // render at 1/downsample resolution, as a preview does
    PF_LRect rect{0, 0, 0, 0};  // requested output rectangle at render resolution; empty means the whole layer
    PF_Field field = PF_Field_FRAME;
    PF_Quality quality = PF_Quality_HI;
    // Deliver the output as FrameResult::packed_output, the world's bytes as they are, instead of as `output`.
    bool packed_output = false;
};

struct FrameResult {
    PF_Err pre_render_err = PF_Err_NONE;
    PF_Err render_err = PF_Err_NONE;
    PF_LRect result_rect{0, 0, 0, 0};
    PF_LRect max_result_rect{0, 0, 0, 0};
    Image output;  // in the project's depth, the input layer's size at render resolution
    PackedImage packed_output;  // the same, when the request asked for packed pixels (then `output` is empty)
    std::string message;  // out-data return_msg after the commands
};

struct HostOptions {
    Depth project_depth = Depth::k8;
    // Extra bytes at the end of every row of every world the host makes, on purpose, so that code assuming
    // rowbytes == width * pixel size is caught.
    int row_padding_bytes = 20;
    A_u_long time_scale = 24;
    A_long time_step = 1;
};

class Host {
public:
    explicit Host(HostOptions options = {});
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    const HostOptions &options() const;
    void SetProjectDepth(Depth depth);

    // ---- the effect ----
    // Talks to the effect through these two functions only (statically linked or found in a loaded module).
    void SetEffect(PF_EffectMainFunc effect_main, PF_PluginDataEntryFunc entry = nullptr);
    // Calls PluginDataEntryFunction and keeps what it announced.
    struct Announcement {
        std::string name, match_name, category, entry_point;
        A_long kind = 0, api_version = 0, api_subversion = 0, reserved_info = 0;
        int calls = 0;
    };
    PF_Err Announce(Announcement *out);

    // Sends one command with the host's own in-data, out-data and parameter array (current values at time 0),
    // the given output world and extra. For the two parameter-UI commands the parameter array is the host's
    // copy of the definitions, so ui_flags changes show in param_defs(). The smart-render callbacks answer only
    // inside RenderFrame; sent from here they report PF_Err_BAD_CALLBACK_PARAM. Send leaves the out-data as the
    // caller or the previous command left it.
    PF_Err Send(PF_Cmd cmd, void *extra = nullptr, PF_LayerDef *output = nullptr);
    PF_InData &in_data();
    PF_OutData &out_data();

    // ---- parameters ----
    // The definitions as add_param received them (index 0, the input layer, is added by the host itself),
    // with ui_flags as the effect last set them.
    const std::vector<PF_ParamDef> &param_defs() const;
    // Sets a value as a user would in the panel; rejects values outside the definition's valid range, or of a
    // kind the parameter does not have, with a message naming the parameter. Returns false then.
    bool SetParamValue(int index, double value, std::string *error = nullptr);
    // Sets a value without any check, as a damaged project would.
    void ForceParamValue(int index, double value);
    // Points a layer parameter at a layer (0 for none).
    void SetLayerParam(int index, int layer_id);
    // Every PF_UpdateParamUI call: the index and the definition passed.
    struct UiUpdate { PF_ParamIndex index; PF_ParamDef def; };
    std::vector<UiUpdate> ui_updates() const;

    // ---- layers ----
    int AddLayer(Layer layer);  // returns its id, from 1 on; pictures are converted to the project's depth
    // A one-picture layer given as packed pixels (no bytes: transparent black). In a project of the picture's
    // depth at full resolution the host lends exactly these bytes; otherwise it converts and shrinks them as it
    // would the same values given as an Image.
    int AddPackedLayer(PackedImage picture);
    void SetInputLayer(int layer_id);

    // ---- frames ----
    // One pre-render then one render, on the calling thread; safe to call from several threads at once.
    // At downsample > 1 the input, depth and texture layers are delivered box-averaged to render resolution
    // (ceil(size / downsample); shrunk in the picture's own depth, then converted to the project's). The render
    // is not sent when the pre-render fails; FrameResult.output is then empty (0 x 0). An output the effect never
    // checks out reads as transparent black. Worlds the effect makes without the clear flag, AEGP worlds and
    // handles start filled with garbage bytes (0xCD), and row padding with 0xA5, as nothing promises zeros.
    FrameResult RenderFrame(const FrameRequest &request);

    // ---- worlds for direct tests ----
    // A host-owned world (not the plug-in's) with padded rows, filled from the picture.
    PF_EffectWorld *MakeWorld(const Image &image);
    PF_EffectWorld *MakeWorld(int width, int height, Depth depth);
    void FreeWorld(PF_EffectWorld *world);
    Image ReadWorld(const PF_EffectWorld &world) const;  // in the world's own depth
    // Reads any world (also one over the caller's own memory) as the given depth, honouring its stride.
    Image ReadWorld(const PF_EffectWorld &world, Depth depth) const;
    void WriteWorld(PF_EffectWorld &world, const Image &image);
    Depth DepthOf(const PF_EffectWorld &world) const;

    // ---- ledger, call log, faults ----
    Ledger ledger() const;
    std::vector<CallRecord> calls() const;
    void ClearCalls();
    void AddFault(const Fault &fault);
    void SetSuiteMissing(const std::string &suite_name, bool missing = true);
    void ClearFaults();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Called on the calling thread as every host callback the effect makes starts (true) and ends (false), before
// and after anything the host does for it, so that a test can tell the effect's own work from the host's.
// Process-wide; null (the default) for none.
using CallHook = void (*)(bool entering);
void SetCallHook(CallHook hook);

// A plug-in module loaded from its file with the platform's dynamic loader.
class Module {
public:
    // On failure, error() says why (file not loadable, or an entry point missing) and both entries are null.
    explicit Module(const std::string &path);
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    bool ok() const;
    const std::string &error() const;
    PF_EffectMainFunc effect_main() const;
    PF_PluginDataEntryFunc entry() const;

private:
    void *handle_ = nullptr;
    PF_EffectMainFunc main_ = nullptr;
    PF_PluginDataEntryFunc entry_ = nullptr;
    std::string error_;
};

}  // namespace vbhost
