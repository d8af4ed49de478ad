/* Our declarations of the host's basic suite and of the six callback suites the effect acquires by name. */
#ifndef VELLUMBRA_API_SUITES_H
#define VELLUMBRA_API_SUITES_H

#include "effect_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t SPErr;

/* The host's basic suite: the door through which every other suite is acquired by name and version. Only the
 * first two slots are used by the effect; the rest are declared so that the table has the host's shape. */
typedef struct SPBasicSuite {
    SPErr (*AcquireSuite)(const char *name, int32_t version, const void **suite);
    SPErr (*ReleaseSuite)(const char *name, int32_t version);
    int32_t (*IsEqual)(const char *token1, const char *token2);
    SPErr (*AllocateBlock)(size_t size, void **block);
    SPErr (*FreeBlock)(void *block);
    SPErr (*ReallocateBlock)(void *block, size_t new_size, void **new_block);
    SPErr (*Undefined)(void);
} SPBasicSuite;

#define kPFHandleSuite "PF Handle Suite"
#define kPFHandleSuiteVersion2 2
#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2
#define kAEGPWorldSuite "AEGP World Suite"
#define kAEGPWorldSuiteVersion3 3
#define kPFANSISuite "PF ANSI Suite"
#define kPFANSISuiteVersion1 1
#define kPFWorldTransformSuite "PF World Transform Suite"
#define kPFWorldTransformSuiteVersion1 1
#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion3 3

/* Each table lists the operations the effect calls, in the host's slot order. */
typedef struct PF_HandleSuite2 {
    PF_Handle (*host_new_handle)(A_HandleSize size);
    void *(*host_lock_handle)(PF_Handle pf_handle);
    void (*host_unlock_handle)(PF_Handle pf_handle);
    void (*host_dispose_handle)(PF_Handle pf_handle);
} PF_HandleSuite2;

typedef struct PF_WorldSuite2 {
    PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld *world, PF_PixelFormat *pixel_format);
} PF_WorldSuite2;

typedef struct AEGP_WorldSuite3 {
    A_Err (*AEGP_New)(AEGP_PluginID plugin_id, AEGP_WorldType type, A_long width, A_long height,
                      AEGP_WorldH *world);
    A_Err (*AEGP_Dispose)(AEGP_WorldH world);
    A_Err (*AEGP_GetRowBytes)(AEGP_WorldH world, A_u_long *row_bytes);
    A_Err (*AEGP_GetBaseAddr8)(AEGP_WorldH world, PF_Pixel8 **base_addr);
    A_Err (*AEGP_FillOutPFEffectWorld)(AEGP_WorldH world, PF_EffectWorld *pf_world);
    A_Err (*AEGP_FastBlur)(A_FpLong radius, PF_ModeFlags mode, PF_Quality quality, AEGP_WorldH world);
} AEGP_WorldSuite3;

typedef struct PF_ANSICallbacksSuite1 {
    A_FpLong (*ceil)(A_FpLong x);
} PF_ANSICallbacksSuite1;

typedef struct PF_WorldTransformSuite1 {
    /* Kernels are arrays of kernel_size x kernel_size A_long weights, stored row by row. */
    PF_Err (*convolve)(PF_ProgPtr effect_ref, PF_EffectWorld *src, const PF_LRect *area, PF_KernelFlags flags,
                       A_long kernel_size, void *a_kernel, void *r_kernel, void *g_kernel, void *b_kernel,
                       PF_EffectWorld *dst);
} PF_WorldTransformSuite1;

typedef struct PF_ParamUtilsSuite3 {
    PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index, const PF_ParamDef *def);
} PF_ParamUtilsSuite3;

#ifdef __cplusplus
}
#endif

#endif
