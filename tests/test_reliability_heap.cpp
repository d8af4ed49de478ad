// No general heap on the render path: counts the allocations the plug-in itself makes while it pre-renders and
// renders frames (the host's own work inside its callbacks excluded) and finds none.
#include "test_reliability_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <new>

// Sanitizers bring their own allocator and must see every allocation: there the count comes from their
// allocation hook. Elsewhere the C library's allocation functions are replaced by counting ones that forward to
// its own; operator new reaches them through malloc.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VB_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VB_SANITIZED_ALLOCATOR 1
#endif
#endif

namespace {

// On while the plug-in runs a render command on this thread; host callbacks suspend it.
thread_local bool t_counting = false;
thread_local int t_in_host = 0;
std::atomic<long> g_allocations{0};

inline void NoteAllocation() {
    if (t_counting && t_in_host == 0) g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(VB_SANITIZED_ALLOCATOR)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                                         void (*free_hook)(const volatile void *));
namespace {
void MallocHook(const volatile void *, size_t) { NoteAllocation(); }
void FreeHook(const volatile void *) {}
const int kHooksInstalled = __sanitizer_install_malloc_and_free_hooks(&MallocHook, &FreeHook);
}  // namespace
#else
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *p);

void *malloc(size_t size) {
    NoteAllocation();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    NoteAllocation();
    return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size) {
    NoteAllocation();
    return __libc_realloc(p, size);
}
void *memalign(size_t alignment, size_t size) {
    NoteAllocation();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size) {
    NoteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size) {
    NoteAllocation();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
void free(void *p) { __libc_free(p); }
}
#endif

namespace {

using namespace reliability;

void OnHostCall(bool entering) { t_in_host += entering ? 1 : -1; }

// Makes allocations of its own inside the counted region of the render command, to show the count sees them.
thread_local bool t_canary = false;

void AllocateDeliberately() {
    void *volatile block = std::malloc(24);
    std::free(block);
    int *volatile object = static_cast<int *>(::operator new(sizeof(int)));
    ::operator delete(object);
}

PF_Err CountingMain(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                    PF_LayerDef *output, void *extra) {
    t_counting = cmd == PF_Cmd_SMART_PRE_RENDER || cmd == PF_Cmd_SMART_RENDER;
    if (t_canary && cmd == PF_Cmd_SMART_RENDER) AllocateDeliberately();
    const PF_Err err = EffectMain(cmd, in_data, out_data, params, output, extra);
    t_counting = false;
    return err;
}

// The hook is process-wide: set for each test and taken away after it.
class RenderHeap : public ::testing::Test {
protected:
    void SetUp() override { vbhost::SetCallHook(&OnHostCall); }
    void TearDown() override {
        vbhost::SetCallHook(nullptr);
        t_canary = false;
    }

    // The plug-in's own allocations during one frame's pre-render and render.
    static long CountFrame(Scene &scene, const std::string &what, FrameRequest request = {}) {
        scene.host->SetEffect(&CountingMain, &PluginDataEntryFunction);
        g_allocations = 0;
        const FrameResult r = scene.Render(request);
        const long n = g_allocations.load();
        EXPECT_EQ(r.pre_render_err, PF_Err_NONE) << what;
        EXPECT_EQ(r.render_err, PF_Err_NONE) << what;
        EXPECT_TRUE(scene.host->ledger().empty()) << what << ": " << scene.host->ledger().describe();
        return n;
    }
};

TEST_F(RenderHeap, CountsWhatIsAllocatedInsideTheCommand) {
    Scene scene;
    t_canary = true;
    EXPECT_EQ(CountFrame(scene, "frame with deliberate allocations"), 2) << "one malloc and one operator new";
}

TEST_F(RenderHeap, HostCallbacksAreLeftOutOnlyThroughTheHook) {
    // The host allocates inside its callbacks (its call log, its worlds). Without the hook those allocations
    // would be counted as the plug-in's: the hook is what keeps them out.
    Scene scene;
    vbhost::SetCallHook(nullptr);
    EXPECT_GT(CountFrame(scene, "frame without the hook"), 0);
}

TEST_F(RenderHeap, NoAllocationWhileRenderingFrames) {
    struct Pattern {
        const char *name;
        A_long pattern, transform;
    } patterns[] = {
        {"random dots", PATTERN_RANDOM_DOTS, TEXTURE_CROPPING},
        {"colour dots", PATTERN_RANDOM_COLOR_DOTS, TEXTURE_CROPPING},
        {"texture cropped", PATTERN_TEXTURE, TEXTURE_CROPPING},
        {"texture resized", PATTERN_TEXTURE, TEXTURE_RESIZING},
    };
    for (Depth depth : {Depth::k8, Depth::k16, Depth::k32})
        for (const Pattern &p : patterns)
            for (bool post : {false, true}) {
                const std::string what = std::string(p.name) + ", " + std::to_string(int(depth)) + " bits" +
                                         (post ? ", blur and sharpen" : "");
                Scene scene(depth);
                scene.Set(PARAM_PATTERN, p.pattern);
                scene.Set(PARAM_TEXTURE_TRANSFORM, p.transform);
                scene.PostProcessing(post, 2, 3);
                EXPECT_EQ(CountFrame(scene, what), 0) << what;
            }
    // Half resolution and the pass-through path.
    Scene half;
    FrameRequest request;
    request.downsample = 2;
    EXPECT_EQ(CountFrame(half, "half resolution", request), 0) << "half resolution";
    Scene pass;
    pass.host->SetLayerParam(PARAM_DEPTH_LAYER, 0);
    EXPECT_EQ(CountFrame(pass, "pass-through"), 0) << "pass-through";
}

}  // namespace
