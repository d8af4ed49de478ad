// Routes the effect's plain C calls to the right host: every host owns a slot, and each slot has its own set of
// function tables, so suite functions (which get no context argument) still reach the host that handed them out,
// on any thread.
#include "host/host_impl.h"

#include <array>
#include <atomic>
#include <stdexcept>
#include <utility>

namespace vbhost {

namespace {

constexpr int kSlots = 64;
std::atomic<Host::Impl *> g_slots[kSlots];
std::mutex g_slot_mu;
std::atomic<CallHook> g_call_hook{nullptr};

// Tells the call hook, if any, that a host callback runs for as long as this lives.
struct CallScope {
    CallScope() {
        if (CallHook hook = g_call_hook.load(std::memory_order_acquire)) hook(true);
    }
    ~CallScope() {
        if (CallHook hook = g_call_hook.load(std::memory_order_acquire)) hook(false);
    }
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;
};

template <int S>
struct Route {
    static Host::Impl *I() { return g_slots[S].load(std::memory_order_acquire); }

    // ---- basic suite ----
    static SPErr Acquire(const char *name, int32_t version, const void **suite) {
        const CallScope scope;
        Host::Impl *i = I();
        if (!i) return A_Err_MISSING_SUITE;
        return i->AcquireSuite(name, version, suite);
    }
    static SPErr Release(const char *name, int32_t version) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->ReleaseSuite(name, version) : A_Err_GENERIC;
    }
    static int32_t IsEqual(const char *a, const char *b) { return a && b && std::string(a) == b; }
    static SPErr Unsupported() { return A_Err_GENERIC; }
    static SPErr Allocate(size_t, void **) { return A_Err_GENERIC; }
    static SPErr Free(void *) { return A_Err_GENERIC; }
    static SPErr Reallocate(void *, size_t, void **) { return A_Err_GENERIC; }

    // ---- handle suite ----
    static PF_Handle NewHandle(A_HandleSize size) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->NewHandle(size) : nullptr;
    }
    static void *Lock(PF_Handle h) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->LockHandle(h) : nullptr;
    }
    static void Unlock(PF_Handle h) {
        const CallScope scope;
        if (Host::Impl *i = I()) i->UnlockHandle(h);
    }
    static void Dispose(PF_Handle h) {
        const CallScope scope;
        if (Host::Impl *i = I()) i->DisposeHandle(h);
    }

    // ---- world suite ----
    static PF_Err PixelFormat(const PF_EffectWorld *w, PF_PixelFormat *f) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->GetPixelFormat(w, f) : PF_Err_INVALID_CALLBACK;
    }

    // ---- AEGP world suite ----
    static A_Err AegpNew(AEGP_PluginID id, AEGP_WorldType t, A_long w, A_long h, AEGP_WorldH *world) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->AegpNew(id, t, w, h, world) : A_Err_GENERIC;
    }
    static A_Err AegpDispose(AEGP_WorldH w) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->AegpDispose(w) : A_Err_GENERIC;
    }
    static A_Err AegpRowBytes(AEGP_WorldH w, A_u_long *rb) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->AegpGetRowBytes(w, rb) : A_Err_GENERIC;
    }
    static A_Err AegpBase8(AEGP_WorldH w, PF_Pixel8 **base) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->AegpGetBaseAddr8(w, base) : A_Err_GENERIC;
    }
    static A_Err AegpFillOut(AEGP_WorldH w, PF_EffectWorld *pf) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->AegpFillOut(w, pf) : A_Err_GENERIC;
    }
    static A_Err AegpBlur(A_FpLong radius, PF_ModeFlags mode, PF_Quality q, AEGP_WorldH w) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->AegpFastBlur(radius, mode, q, w) : A_Err_GENERIC;
    }

    // ---- ANSI, transform and param utils suites ----
    static A_FpLong Ceil(A_FpLong x) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->Ceil(x) : x;
    }
    static PF_Err Convolve(PF_ProgPtr ref, PF_EffectWorld *src, const PF_LRect *area, PF_KernelFlags flags,
                           A_long size, void *a, void *r, void *g, void *b, PF_EffectWorld *dst) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->Convolve(ref, src, area, flags, size, a, r, g, b, dst) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err UpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef *def) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->UpdateParamUI(ref, index, def) : PF_Err_INVALID_CALLBACK;
    }

    // ---- utility callbacks ----
    static PF_Err NewWorld(PF_ProgPtr ref, A_long w, A_long h, PF_NewWorldFlags flags, PF_EffectWorld *world) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->NewWorld(ref, w, h, flags, world) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err DisposeWorld(PF_ProgPtr ref, PF_EffectWorld *world) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->DisposeWorld(ref, world) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err Copy(PF_ProgPtr ref, PF_EffectWorld *src, PF_EffectWorld *dst, PF_Rect *sr, PF_Rect *dr) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->Copy(ref, src, dst, sr, dr) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err Transform(PF_ProgPtr ref, PF_Quality q, PF_ModeFlags m, PF_Field f, const PF_EffectWorld *src,
                            const PF_CompositeMode *comp, const PF_MaskWorld *mask, const PF_FloatMatrix *mats,
                            A_long n, PF_Boolean src2dst, const PF_Rect *dr, PF_EffectWorld *dst) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->TransformWorld(ref, q, m, f, src, comp, mask, mats, n, src2dst, dr, dst)
                 : PF_Err_INVALID_CALLBACK;
    }
    static A_long Sprintf(A_char *dst, const A_char *fmt, ...) {
        const CallScope scope;
        Host::Impl *i = I();
        if (!i) return 0;
        va_list ap;
        va_start(ap, fmt);
        const A_long n = i->VSprintf(dst, fmt, ap);
        va_end(ap);
        return n;
    }
    static A_char *Strcpy(A_char *dst, const A_char *src) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->Strcpy(dst, src) : nullptr;
    }

    // ---- interaction callbacks ----
    static PF_Err CheckoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long t, A_long step, A_u_long scale,
                                PF_ParamDef *p) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->CheckoutParam(ref, index, t, step, scale, p) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err CheckinParam(PF_ProgPtr ref, PF_ParamDef *p) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->CheckinParam(ref, p) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err AddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDef *def) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->AddParam(ref, index, def) : PF_Err_INVALID_CALLBACK;
    }

    // ---- smart render callbacks ----
    static PF_Err CheckoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest *req,
                                A_long t, A_long step, A_u_long scale, PF_CheckoutResult *res) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->CheckoutLayer(ref, index, id, req, t, step, scale, res) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err CheckoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld **pixels) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->CheckoutLayerPixels(ref, id, pixels) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err CheckinLayerPixels(PF_ProgPtr ref, A_long id) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->CheckinLayerPixels(ref, id) : PF_Err_INVALID_CALLBACK;
    }
    static PF_Err CheckoutOutput(PF_ProgPtr ref, PF_EffectWorld **out) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->CheckoutOutput(ref, out) : PF_Err_INVALID_CALLBACK;
    }

    // ---- announcement ----
    static PF_Err DataCallback(void *in_ptr, const A_u_char *name, const A_u_char *match_name,
                               const A_u_char *category, const A_u_char *entry_point, A_long kind, A_long api_version,
                               A_long api_subversion, A_long reserved_info) {
        const CallScope scope;
        Host::Impl *i = I();
        return i ? i->PluginDataCallback(in_ptr, name, match_name, category, entry_point, kind, api_version,
                                         api_subversion, reserved_info)
                 : PF_Err_INVALID_CALLBACK;
    }

    static Tables Make() {
        Tables t;
        t.basic = SPBasicSuite{&Acquire, &Release, &IsEqual, &Allocate, &Free, &Reallocate, &Unsupported};
        t.handle = PF_HandleSuite2{&NewHandle, &Lock, &Unlock, &Dispose};
        t.world = PF_WorldSuite2{&PixelFormat};
        t.aegp = AEGP_WorldSuite3{&AegpNew, &AegpDispose, &AegpRowBytes, &AegpBase8, &AegpFillOut, &AegpBlur};
        t.ansi = PF_ANSICallbacksSuite1{&Ceil};
        t.transform = PF_WorldTransformSuite1{&Convolve};
        t.param_utils = PF_ParamUtilsSuite3{&UpdateParamUI};
        t.utils.new_world = &NewWorld;
        t.utils.dispose_world = &DisposeWorld;
        t.utils.copy = &Copy;
        t.utils.transform_world = &Transform;
        t.utils.ansi.sprintf = &Sprintf;
        t.utils.ansi.strcpy = &Strcpy;
        t.inter = PF_InteractCallbacks{&CheckoutParam, &CheckinParam, &AddParam};
        t.pre_render = PF_PreRenderCallbacks{&CheckoutLayer};
        t.smart_render = PF_SmartRenderCallbacks{&CheckoutLayerPixels, &CheckinLayerPixels, &CheckoutOutput};
        t.data_cb = &DataCallback;
        return t;
    }
};

template <std::size_t... S>
constexpr std::array<Tables (*)(), sizeof...(S)> makers(std::index_sequence<S...>) {
    return {&Route<int(S)>::Make...};
}

const std::array<Tables (*)(), kSlots> g_makers = makers(std::make_index_sequence<kSlots>{});

}  // namespace

void SetCallHook(CallHook hook) { g_call_hook.store(hook, std::memory_order_release); }

Tables TablesForSlot(int slot) { return g_makers.at(std::size_t(slot))(); }

int ClaimSlot(Host::Impl *impl) {
    std::lock_guard<std::mutex> lock(g_slot_mu);
    for (int s = 0; s < kSlots; ++s) {
        if (g_slots[s].load() == nullptr) {
            g_slots[s].store(impl, std::memory_order_release);
            return s;
        }
    }
    throw std::runtime_error("stand-in host: more than 64 hosts alive at once");
}

void ReleaseSlot(int slot) {
    std::lock_guard<std::mutex> lock(g_slot_mu);
    if (slot >= 0 && slot < kSlots) g_slots[slot].store(nullptr, std::memory_order_release);
}

}  // namespace vbhost
