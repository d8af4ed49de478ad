// Internal state of the stand-in host shared by its implementation files: worlds, handles, ledger, call log,
// faults, parameters, layers and the per-call contexts that effect_ref points to.
#pragma once

#include "host/host.h"

#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace vbhost {

// Bytes per pixel of a depth.
int PixelSize(Depth d);
// The pixel format code the world suite reports for a depth.
PF_PixelFormat FormatOf(Depth d);

// Reads a world of the given depth into a picture, honouring its row stride.
Image ReadPixels(const PF_EffectWorld &world, Depth depth);
// Writes a picture of the world's size and depth into the world, honouring its row stride; channel values are
// rounded and clamped to the depth's range.
void WritePixels(PF_EffectWorld &world, Depth depth, const Image &image);
// Box-averages a picture down by an integer factor (the last box of a row or column may be partial).
Image Downsample(const Image &src, int factor);

// A layer frame's pixels as the host lends them: at render resolution, in the project's depth, rows packed
// without padding. Made once per layer frame and copied into a fresh world for every checkout.
struct LayerPixels {
    int width = 0;
    int height = 0;
    Depth depth = Depth::k8;
    // height rows of width * PixelSize(depth) bytes, possibly a packed layer's own bytes shared with it; null
    // for all zeros (a transparent layer), which then take no memory until lent
    std::shared_ptr<const unsigned char> bytes;
    std::size_t row_bytes() const { return std::size_t(width) * std::size_t(PixelSize(depth)); }
};
// The pixels of a picture box-averaged down by a factor in its own depth (as Downsample does), then converted
// to the given depth (as ConvertImage does) and rounded and clamped as a world of that depth holds them. A
// factor of 1 reads the picture itself, without copying it first.
LayerPixels PackPixels(const Image &src, int downsample, Depth depth);
// The same for a packed picture: its own bytes, shared, when nothing is to change; no bytes for one without any.
LayerPixels PackPixels(const std::shared_ptr<const PackedImage> &src, int downsample, Depth depth);
// A world's pixels with its row padding left out.
PackedImage PackWorld(const PF_EffectWorld &world, Depth depth);

// Who owns a world's pixels, which decides who may dispose of it and whether the ledger counts it.
enum class WorldOwner { kHost, kPluginNewWorld, kPluginAegp };

struct WorldRec {
    std::unique_ptr<unsigned char[]> memory;
    Depth depth = Depth::k8;
    WorldOwner owner = WorldOwner::kHost;
    PF_EffectWorld desc{};  // the host's own description of the pixels
    // A layer lent to the effect for reading: the pixels it was filled from, which it must still hold when
    // it comes back. Null for every other world.
    std::shared_ptr<const LayerPixels> lent;
};

// What a new world's pixels start as: zeros, recognisable garbage, or nothing at all for a world the host
// fills completely itself right away (its row padding is written in every case).
enum class WorldFill { kZero, kGarbage, kNone };

struct HandleRec {
    void *master = nullptr;  // what the PF_Handle points at: the data address
    std::unique_ptr<unsigned char[]> memory;
    std::uint64_t size = 0;
    int locks = 0;
};

struct Frame;

// What effect_ref points at: which host, and which frame (none for Send).
struct CallContext {
    static constexpr std::uint32_t kMagic = 0x56424358;  // "VBCX"
    std::uint32_t magic = kMagic;
    struct Host::Impl *impl = nullptr;
    Frame *frame = nullptr;
    PF_Cmd cmd = -1;  // the command being sent; -1 between commands
};

// One checkout_param not yet checked in.
struct ParamCheckout {
    CallContext *ctx = nullptr;
    A_long id = 0;
    PF_ParamType type = 0;
    void *data = nullptr;  // pixels of a layer checkout (host-owned world), or null
};

// One frame being rendered by RenderFrame.
struct Frame {
    int downsample = 1;
    A_long time = 0;
    int width = 0, height = 0;  // the input layer at render resolution
    enum class Phase { kPreRender, kRender, kDone } phase = Phase::kPreRender;
    struct LayerCheckout {
        PF_RenderRequest request{};
        A_long time = 0;
        PF_EffectWorld *world = nullptr;  // delivered pixels once checked out
        int outstanding = 0;
    };
    std::map<A_long, LayerCheckout> layer_checkouts;
    PF_EffectWorld *output = nullptr;
    std::vector<void *> owned_worlds;  // pixel addresses of host worlds made for this frame
};

struct Tables {
    SPBasicSuite basic{};
    PF_HandleSuite2 handle{};
    PF_WorldSuite2 world{};
    AEGP_WorldSuite3 aegp{};
    PF_ANSICallbacksSuite1 ansi{};
    PF_WorldTransformSuite1 transform{};
    PF_ParamUtilsSuite3 param_utils{};
    PF_UtilCallbacks utils{};
    PF_InteractCallbacks inter{};
    PF_PreRenderCallbacks pre_render{};
    PF_SmartRenderCallbacks smart_render{};
    PF_PluginDataCB data_cb = nullptr;
};

// Gives the tables whose plain C functions route to the host in the given slot.
Tables TablesForSlot(int slot);
// Claims a routing slot for a host (throws std::runtime_error when all are taken) and gives it back.
int ClaimSlot(Host::Impl *impl);
void ReleaseSlot(int slot);

struct Host::Impl {
    explicit Impl(HostOptions o);
    ~Impl();

    HostOptions opts;
    int slot = -1;
    Tables tables;

    mutable std::mutex mu;  // guards everything below that is not marked otherwise
    // ledger
    std::multiset<std::string> suites_held;
    std::map<PF_Handle, std::unique_ptr<HandleRec>> handles;
    std::map<const void *, std::unique_ptr<WorldRec>> worlds;
    std::map<AEGP_WorldH, void *> aegp_worlds;  // handle -> pixel address in `worlds`
    int layer_checkouts = 0;
    int damaged_worlds = 0;
    std::vector<ParamCheckout> param_checkouts;
    // call log and faults
    std::vector<CallRecord> calls;
    struct FaultState {
        Fault fault;
        int seen = 0;
        bool fired = false;
    };
    std::vector<FaultState> faults;
    std::set<std::string> missing_suites;
    // parameters and layers
    // The host's definitions with their current values; param_defs() hands this vector out, and Send passes
    // pointers into it for the two parameter-UI commands, so it only grows during parameter setup.
    std::vector<PF_ParamDef> defs;
    std::vector<std::unique_ptr<std::string>> def_names;  // the host's copy of popup choices or checkbox labels
    std::vector<int> layer_ids;                           // layer parameters: the layer assigned, 0 for none
    std::vector<Host::UiUpdate> ui_updates;
    std::map<int, Layer> layers;
    // The pixels of layers added packed; their Layer holds one picture of the right size without pixels.
    std::map<int, std::shared_ptr<const PackedImage>> packed_layers;
    // Layer frames already made into the pixels the host lends, by layer id, frame index, downsample factor and
    // depth. Layers never change once added and their ids are never reused, so an entry stays right for the
    // host's lifetime; worlds lent from an entry share it.
    std::map<std::tuple<int, std::size_t, int, int>, std::shared_ptr<const LayerPixels>> layer_pixels;
    int next_layer_id = 1;
    int input_layer = 0;
    std::set<const CallContext *> live_contexts;

    // the effect and the host's own records for Send (used by one thread at a time)
    PF_EffectMainFunc effect_main = nullptr;
    PF_PluginDataEntryFunc entry = nullptr;
    PF_InData in{};
    PF_OutData out{};
    CallContext send_ctx;

    // ---- call log and faults ----
    // Counts the call against the faults; returns the error of a fault that fires now, else PF_Err_NONE.
    PF_Err Fire(const std::string &op);
    void Log(const std::string &op, PF_Err result);
    // Checks effect_ref; null when it is not one of this host's live contexts.
    CallContext *Context(PF_ProgPtr effect_ref);

    // ---- worlds ----
    // Makes a padded world whose pixels start as `fill` says. Caller holds mu.
    WorldRec *NewWorldLocked(int width, int height, Depth depth, WorldOwner owner, WorldFill fill, PF_Err *err);
    void FreeWorldLocked(const void *data);
    bool DepthOfLocked(const void *data, Depth *depth) const;
    // True when the description points at a world of this host and stays inside its pixels. Caller holds mu.
    bool ValidWorldLocked(const PF_EffectWorld *world, Depth *depth) const;
    // A host-owned world filled from the picture. Caller holds mu.
    WorldRec *WorldFromImageLocked(const Image &image);
    // A host-owned world lent to the effect for reading, filled from a layer frame's pixels. Caller holds mu.
    WorldRec *LentWorldLocked(const std::shared_ptr<const LayerPixels> &pixels);

    // ---- layers ----
    // The picture a layer shows at a time and its index among the layer's frames; null if the layer does not
    // exist, has no frames or shows an empty picture then. Caller holds mu.
    const Image *LayerFrameLocked(int layer_id, A_long time, A_long time_scale, std::size_t *index) const;
    // The size of that picture at 1/downsample resolution, without making it; false as above. Caller holds mu.
    bool LayerSizeLocked(int layer_id, A_long time, A_long time_scale, int downsample, int *width,
                         int *height) const;
    // That picture in the project's depth at 1/downsample resolution, made on first use and kept. PF_Err_NONE
    // with *out null when there is no picture; PF_Err_OUT_OF_MEMORY when it cannot be made. Caller holds mu.
    PF_Err LayerPixelsLocked(int layer_id, A_long time, A_long time_scale, int downsample,
                             std::shared_ptr<const LayerPixels> *out);

    // ---- parameters ----
    // Resets the definitions to the host's own input layer at index 0. Caller holds mu.
    void ResetParamsLocked();

    // ---- callbacks the effect calls ----
    PF_Err NewWorld(PF_ProgPtr ref, A_long w, A_long h, PF_NewWorldFlags flags, PF_EffectWorld *world);
    PF_Err DisposeWorld(PF_ProgPtr ref, PF_EffectWorld *world);
    PF_Err Copy(PF_ProgPtr ref, PF_EffectWorld *src, PF_EffectWorld *dst, PF_Rect *src_r, PF_Rect *dst_r);
    PF_Err TransformWorld(PF_ProgPtr ref, PF_Quality quality, PF_ModeFlags m_flags, PF_Field field,
                          const PF_EffectWorld *src, const PF_CompositeMode *comp, const PF_MaskWorld *mask,
                          const PF_FloatMatrix *matrices, A_long num_matrices, PF_Boolean src2dst,
                          const PF_Rect *dest_rect, PF_EffectWorld *dst);
    A_long VSprintf(A_char *dst, const A_char *fmt, va_list ap);
    A_char *Strcpy(A_char *dst, const A_char *src);

    PF_Err AddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDef *def);
    PF_Err CheckoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_long step, A_u_long scale,
                         PF_ParamDef *param);
    PF_Err CheckinParam(PF_ProgPtr ref, PF_ParamDef *param);

    PF_Err CheckoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest *req, A_long time,
                         A_long step, A_u_long scale, PF_CheckoutResult *result);
    PF_Err CheckoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld **pixels);
    PF_Err CheckinLayerPixels(PF_ProgPtr ref, A_long id);
    PF_Err CheckoutOutput(PF_ProgPtr ref, PF_EffectWorld **output);

    SPErr AcquireSuite(const char *name, int32_t version, const void **suite);
    SPErr ReleaseSuite(const char *name, int32_t version);

    PF_Handle NewHandle(A_HandleSize size);
    void *LockHandle(PF_Handle h);
    void UnlockHandle(PF_Handle h);
    void DisposeHandle(PF_Handle h);

    PF_Err GetPixelFormat(const PF_EffectWorld *world, PF_PixelFormat *format);

    A_Err AegpNew(AEGP_PluginID id, AEGP_WorldType type, A_long w, A_long h, AEGP_WorldH *world);
    A_Err AegpDispose(AEGP_WorldH world);
    A_Err AegpGetRowBytes(AEGP_WorldH world, A_u_long *row_bytes);
    A_Err AegpGetBaseAddr8(AEGP_WorldH world, PF_Pixel8 **base);
    A_Err AegpFillOut(AEGP_WorldH world, PF_EffectWorld *pf_world);
    A_Err AegpFastBlur(A_FpLong radius, PF_ModeFlags mode, PF_Quality quality, AEGP_WorldH world);

    A_FpLong Ceil(A_FpLong x);
    PF_Err Convolve(PF_ProgPtr ref, PF_EffectWorld *src, const PF_LRect *area, PF_KernelFlags flags,
                    A_long kernel_size, void *a, void *r, void *g, void *b, PF_EffectWorld *dst);
    PF_Err UpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef *def);

    PF_Err PluginDataCallback(void *in_ptr, const A_u_char *name, const A_u_char *match_name,
                              const A_u_char *category, const A_u_char *entry_point, A_long kind,
                              A_long api_version, A_long api_subversion, A_long reserved_info);
};

}  // namespace vbhost
