/* Our own declarations of the compositing host's effect API: plain C-compatible types under the host's names.
 *
 * Written from the documented behaviour of the host, not from any vendor header. Where the host's layout or a
 * value is not documented, we chose one and the stand-in host follows the same choice; such places carry a
 * one-line comment. Only freestanding headers are used so that this compiles for every deliverable. */
#ifndef VELLUMBRA_API_EFFECT_API_H
#define VELLUMBRA_API_EFFECT_API_H

#include <stdint.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- scalar types ---- */
typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef uint8_t A_u_char;
typedef double A_FpLong;
typedef float A_FpShort;
typedef int32_t A_Err;
typedef uint8_t PF_Boolean;
typedef int32_t PF_Err;
typedef int32_t PF_Cmd;
typedef int32_t PF_ParamIndex;
typedef int32_t PF_ParamType;
typedef int32_t PF_ParamFlags;
typedef int32_t PF_ParamUIFlags;
typedef int32_t PF_ParamValue;
typedef int32_t PF_Fixed;
typedef double PF_FpLong;
typedef float PF_FpShort;
typedef int32_t PF_Quality;
typedef int32_t PF_ModeFlags;
typedef int32_t PF_Field;
typedef int32_t PF_ChannelMask;
typedef int32_t PF_KernelFlags;
typedef int32_t PF_NewWorldFlags;
typedef int32_t PF_WorldFlags;
typedef int32_t PF_OutFlags;
typedef int32_t PF_OutFlags2;
typedef uint32_t PF_PixelFormat;
typedef void *PF_ProgPtr;
typedef void **PF_Handle;
typedef uint64_t A_HandleSize;
typedef int32_t AEGP_PluginID;
typedef int32_t AEGP_WorldType;
typedef struct AEGP_WorldOpaque *AEGP_WorldH;

/* ---- errors ---- */
enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    /* The host's codes above the memory error are not documented; these are our choice, shared with the
     * stand-in host. */
    PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
    PF_Err_INVALID_INDEX = 513,
    PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
    PF_Err_INVALID_CALLBACK = 515,
    PF_Err_BAD_CALLBACK_PARAM = 516
};
enum { A_Err_NONE = 0, A_Err_GENERIC = 1, A_Err_MISSING_SUITE = 13 };

/* ---- commands ---- */
enum {
    PF_Cmd_ABOUT = 0,
    PF_Cmd_GLOBAL_SETUP = 1,
    PF_Cmd_UNUSED_0 = 2,
    PF_Cmd_GLOBAL_SETDOWN = 3,
    PF_Cmd_PARAMS_SETUP = 4,
    PF_Cmd_USER_CHANGED_PARAM = 13,
    PF_Cmd_UPDATE_PARAMS_UI = 14,
    PF_Cmd_SMART_PRE_RENDER = 23,
    PF_Cmd_SMART_RENDER = 24
};

/* ---- flags and constants ---- */
enum {
    PF_OutFlag_DEEP_COLOR_AWARE = 1 << 25,
    PF_OutFlag_SEND_UPDATE_PARAMS_UI = 1 << 26,
    /* Bit position of the display-error flag is our choice. */
    PF_OutFlag_DISPLAY_ERROR_MESSAGE = 1 << 9
};
enum {
    PF_OutFlag2_SUPPORTS_SMART_RENDER = 1 << 10,
    PF_OutFlag2_FLOAT_COLOR_AWARE = 1 << 12,
    PF_OutFlag2_SUPPORTS_THREADED_RENDERING = 1 << 27
};
enum { PF_Stage_DEVELOP = 0, PF_Stage_ALPHA = 1, PF_Stage_BETA = 2, PF_Stage_RELEASE = 3 };
enum { PF_ParamFlag_COLLAPSE_TWIRLY = 0x20, PF_ParamFlag_SUPERVISE = 0x40 };
enum { PF_PUI_DISABLED = 0x20 };
enum { PF_ValueDisplayFlag_NONE = 0, PF_ValueDisplayFlag_PERCENT = 1 };
enum { PF_LayerDefault_NONE = 0, PF_LayerDefault_MYSELF = -1 };
enum { PF_NewWorldFlag_NONE = 0, PF_NewWorldFlag_CLEAR_PIXELS = 1 };
enum { PF_MF_Alpha_PREMUL = 0, PF_MF_Alpha_STRAIGHT = 1 };
enum { PF_Quality_LO = 0, PF_Quality_HI = 1 };
enum { PF_Field_FRAME = 0, PF_Field_UPPER = 1, PF_Field_LOWER = 2 };
enum { PF_KernelFlag_NONE = 0 };
enum { AEGP_WorldType_NONE = 0, AEGP_WorldType_8 = 1, AEGP_WorldType_16 = 2, AEGP_WorldType_32 = 3 };
/* World flag bits for deep worlds; the values are our choice and only informative (the pixel format query is
 * what the effect relies on). */
enum { PF_WorldFlag_DEEP = 1 << 0, PF_WorldFlag_WRITEABLE = 1 << 1 };

#define PF_PixelFormat_ARGB32 ((PF_PixelFormat)0x62677261u)
#define PF_PixelFormat_ARGB64 ((PF_PixelFormat)0x36316561u)
#define PF_PixelFormat_ARGB128 ((PF_PixelFormat)0x32336561u)
#define PF_PixelFormat_INVALID ((PF_PixelFormat)0x66646162u)

#define PF_MAX_EFFECT_MSG_LEN 255
#define PF_MAX_EFFECT_PARAM_NAME_LEN 31
#define PF_MAX_WORLD_DIMENSION 30000

/* Parameter kinds used by the effect. The numbering is our choice. */
enum {
    PF_Param_RESERVED = -1,
    PF_Param_LAYER = 0,
    PF_Param_SLIDER = 1,
    PF_Param_FIX_SLIDER = 2,
    PF_Param_ANGLE = 3,
    PF_Param_CHECKBOX = 4,
    PF_Param_COLOR = 5,
    PF_Param_POINT = 6,
    PF_Param_POPUP = 7,
    PF_Param_CUSTOM = 8,
    PF_Param_NO_DATA = 9,
    PF_Param_FLOAT_SLIDER = 10,
    PF_Param_ARBITRARY_DATA = 11,
    PF_Param_PATH = 12,
    PF_Param_GROUP_START = 13,
    PF_Param_GROUP_END = 14,
    PF_Param_BUTTON = 15,
    PF_Param_POINT_3D = 16
};

/* ---- pixels and worlds ---- */
typedef struct PF_Pixel8 { A_u_char alpha, red, green, blue; } PF_Pixel8;
typedef PF_Pixel8 PF_Pixel;
typedef struct PF_Pixel16 { A_u_short alpha, red, green, blue; } PF_Pixel16;
typedef struct PF_PixelFloat { PF_FpShort alpha, red, green, blue; } PF_PixelFloat;
typedef PF_PixelFloat PF_Pixel32;
typedef void *PF_PixelPtr;

typedef struct PF_LRect { A_long left, top, right, bottom; } PF_LRect;
typedef PF_LRect PF_Rect;
typedef struct PF_RationalScale { A_long num; A_u_long den; } PF_RationalScale;

/* An image as the host describes it. Several descriptions may share the same pixels; only the host frees
 * them. */
typedef struct PF_LayerDef {
    void *reserved0;
    void *reserved1;
    PF_WorldFlags world_flags;
    PF_PixelPtr data;
    A_long rowbytes;
    A_long width;
    A_long height;
    PF_LRect extent_hint;
    void *platform_ref;
    A_long reserved_long1;
    void *reserved_long4;
    PF_RationalScale pix_aspect_ratio;
    void *reserved_long2;
    A_long origin_x;
    A_long origin_y;
    A_long reserved_long3;
    A_long dephault;
} PF_LayerDef;
typedef PF_LayerDef PF_EffectWorld;

/* ---- parameters ---- */
typedef struct PF_SliderDef {
    PF_ParamValue value;
    A_char value_str[32];
    A_char value_desc[32];
    PF_ParamValue valid_min, valid_max;
    PF_ParamValue slider_min, slider_max;
    PF_ParamValue dephault;
} PF_SliderDef;

typedef struct PF_FloatSliderDef {
    PF_FpLong value;
    PF_FpLong phase;
    A_char value_desc[32];
    PF_FpShort valid_min, valid_max;
    PF_FpShort slider_min, slider_max;
    PF_FpShort dephault;
    A_short precision;
    A_short display_flags;
    A_long fs_flags;
    PF_FpShort curve_tolerance;
    PF_Boolean useExponent;
    PF_FpShort exponent;
} PF_FloatSliderDef;

typedef struct PF_PopupDef {
    A_long value;
    A_short num_choices;
    A_short dephault;
    union { A_long id; const A_char *namesptr; } u;
} PF_PopupDef;

typedef struct PF_CheckBoxDef {
    PF_ParamValue value;
    PF_Boolean dephault;
    A_char reserved;
    A_short reserved1;
    union { A_long id; const A_char *nameptr; } u;
} PF_CheckBoxDef;

typedef union PF_ParamDefUnion {
    PF_LayerDef ld;
    PF_SliderDef sd;
    PF_FloatSliderDef fs_d;
    PF_PopupDef pd;
    PF_CheckBoxDef bd;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
    union { A_long id; A_long change_flags; } uu;
    PF_ParamUIFlags ui_flags;
    A_short ui_width;
    A_short ui_height;
    PF_ParamType param_type;
    A_char name[PF_MAX_EFFECT_PARAM_NAME_LEN + 1];
    PF_ParamFlags flags;
    A_long unused;
    PF_ParamDefUnion u;
} PF_ParamDef;
typedef PF_ParamDef *PF_ParamList[];

/* ---- transform and convolution support ---- */
typedef struct PF_FloatMatrix { PF_FpLong mat[3][3]; } PF_FloatMatrix;
typedef struct PF_CompositeMode {
    A_long xfer;
    A_long rand_seed;
    A_u_char opacity;
    PF_Boolean rgb_only;
    A_u_short opacitySu;
} PF_CompositeMode;
typedef struct PF_MaskWorld {
    PF_EffectWorld mask;
    A_long offset_x, offset_y;
    A_long what_is_mask;
} PF_MaskWorld;

/* ---- utility callbacks ---- */
typedef struct PF_ANSICallbacks {
    /* printf-style formatting into the destination; returns the number of characters written. */
    A_long (*sprintf)(A_char *dst, const A_char *fmt, ...);
    A_char *(*strcpy)(A_char *dst, const A_char *src);
} PF_ANSICallbacks;

typedef struct PF_UtilCallbacks {
    PF_Err (*new_world)(PF_ProgPtr effect_ref, A_long width, A_long height, PF_NewWorldFlags flags,
                        PF_EffectWorld *world);
    PF_Err (*dispose_world)(PF_ProgPtr effect_ref, PF_EffectWorld *world);
    PF_Err (*copy)(PF_ProgPtr effect_ref, PF_EffectWorld *src, PF_EffectWorld *dst, PF_Rect *src_r,
                   PF_Rect *dst_r);
    PF_Err (*transform_world)(PF_ProgPtr effect_ref, PF_Quality quality, PF_ModeFlags m_flags, PF_Field field,
                              const PF_EffectWorld *src_world, const PF_CompositeMode *comp_mode,
                              const PF_MaskWorld *mask_world0, const PF_FloatMatrix *matrices,
                              A_long num_matrices, PF_Boolean src2dst_matrix, const PF_Rect *dest_rect,
                              PF_EffectWorld *dst_world);
    PF_ANSICallbacks ansi;
} PF_UtilCallbacks;

typedef struct PF_InteractCallbacks {
    PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_ParamDef *param);
    PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef *param);
    PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDef *def);
} PF_InteractCallbacks;

struct SPBasicSuite;

/* ---- per-command records ---- */
typedef struct PF_InData {
    PF_InteractCallbacks inter;
    PF_UtilCallbacks *utils;
    PF_ProgPtr effect_ref;
    PF_Quality quality;
    A_u_long version_major, version_minor;
    A_long serial_num;
    A_long appl_id;
    A_long num_params;
    A_long reserved;
    A_long what_cpu;
    A_long what_fpu;
    A_long current_time;
    A_long time_step;
    A_long total_time;
    A_long local_time_step;
    A_u_long time_scale;
    PF_Field field;
    PF_Fixed shutter_angle;
    A_long width, height;
    PF_Rect extent_hint;
    A_long output_origin_x, output_origin_y;
    PF_RationalScale downsample_x, downsample_y;
    PF_RationalScale pixel_aspect_ratio;
    PF_Handle global_data;
    PF_Handle sequence_data;
    PF_Handle frame_data;
    A_long start_sampL, dur_sampL, total_sampL;
    struct SPBasicSuite *pica_basicP;
    A_long pre_effect_source_origin_x, pre_effect_source_origin_y;
    PF_Fixed shutter_phase;
} PF_InData;

typedef struct PF_OutData {
    A_u_long my_version;
    A_long name[8];
    PF_Handle global_data;
    A_long num_params;
    PF_Handle sequence_data;
    A_long flat_sdata_size;
    PF_Handle frame_data;
    A_long width, height;
    PF_LRect origin_unused;
    PF_OutFlags out_flags;
    A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
    A_long start_sampL, dur_sampL;
    A_long dest_snd_unused;
    PF_OutFlags2 out_flags2;
} PF_OutData;

typedef struct PF_UserChangedParamExtra { PF_ParamIndex param_index; } PF_UserChangedParamExtra;

/* ---- smart render ---- */
typedef struct PF_RenderRequest {
    PF_LRect rect;
    PF_Field field;
    PF_ChannelMask channel_mask;
    PF_Boolean preserve_rgb_of_zero_alpha;
    A_char unused[3];
    A_long reserved[4];
} PF_RenderRequest;

typedef struct PF_CheckoutResult {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_RationalScale par;
    A_long solid;
    PF_Boolean reservedB[3];
    A_long ref_width;
    A_long ref_height;
    A_long reserved[6];
} PF_CheckoutResult;

typedef void (*PF_DeletePreRenderDataFunc)(void *pre_render_data);

typedef struct PF_PreRenderInput {
    PF_RenderRequest output_request;
    A_short bitdepth;
    const void *gpu_data;
    A_long reserved[4];
} PF_PreRenderInput;

typedef struct PF_PreRenderOutput {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_Boolean solid;
    PF_Boolean reserved;
    A_short flags;
    void *pre_render_data;
    PF_DeletePreRenderDataFunc delete_pre_render_data_func;
} PF_PreRenderOutput;

typedef struct PF_PreRenderCallbacks {
    PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_id,
                             const PF_RenderRequest *req, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_CheckoutResult *checkout_result);
} PF_PreRenderCallbacks;

typedef struct PF_PreRenderExtra {
    PF_PreRenderInput *input;
    PF_PreRenderOutput *output;
    PF_PreRenderCallbacks *cb;
} PF_PreRenderExtra;

typedef struct PF_SmartRenderInput {
    PF_RenderRequest output_request;
    A_short bitdepth;
    void *pre_render_data;
    const void *gpu_data;
    A_long reserved[4];
} PF_SmartRenderInput;

typedef struct PF_SmartRenderCallbacks {
    PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id, PF_EffectWorld **pixels);
    PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id);
    PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld **output);
} PF_SmartRenderCallbacks;

typedef struct PF_SmartRenderExtra {
    PF_SmartRenderInput *input;
    PF_SmartRenderCallbacks *cb;
} PF_SmartRenderExtra;

/* ---- entry points ---- */
/* The callback that PluginDataEntryFunction calls once to announce the effect. */
typedef PF_Err (*PF_PluginDataCB)(void *inPtr, const A_u_char *name, const A_u_char *match_name,
                                  const A_u_char *category, const A_u_char *entry_point_name, A_long kind,
                                  A_long api_version, A_long api_subversion, A_long reserved_info);

typedef PF_Err (*PF_PluginDataEntryFunc)(void *inPtr, PF_PluginDataCB inPluginDataCallBackPtr,
                                         struct SPBasicSuite *inSPBasicSuitePtr, const char *inHostName,
                                         const char *inHostVersion);

typedef PF_Err (*PF_EffectMainFunc)(PF_Cmd cmd, PF_InData *in_data, PF_OutData *out_data, PF_ParamDef *params[],
                                    PF_LayerDef *output, void *extra);

/* ---- the host's call forms ---- */
#define PF_NEW_WORLD(WIDTH, HEIGHT, FLAGS, WORLD) \
    (*in_data->utils->new_world)(in_data->effect_ref, (WIDTH), (HEIGHT), (FLAGS), (WORLD))
#define PF_DISPOSE_WORLD(WORLD) (*in_data->utils->dispose_world)(in_data->effect_ref, (WORLD))
#define PF_COPY(SRC, DST, SRC_RECT, DST_RECT) \
    (*in_data->utils->copy)(in_data->effect_ref, (SRC), (DST), (SRC_RECT), (DST_RECT))
#define PF_SPRINTF (*in_data->utils->ansi.sprintf)
#define PF_STRCPY(DST, SRC) (*in_data->utils->ansi.strcpy)((DST), (SRC))
#define PF_ADD_PARAM(IN_DATA, INDEX, DEF) (*(IN_DATA)->inter.add_param)((IN_DATA)->effect_ref, (INDEX), (DEF))
#define PF_CHECKOUT_PARAM(IN_DATA, INDEX, TIME, STEP, SCALE, PARAM) \
    (*(IN_DATA)->inter.checkout_param)((IN_DATA)->effect_ref, (INDEX), (TIME), (STEP), (SCALE), (PARAM))
#define PF_CHECKIN_PARAM(IN_DATA, PARAM) (*(IN_DATA)->inter.checkin_param)((IN_DATA)->effect_ref, (PARAM))

#ifdef __cplusplus
}
#endif

#endif
