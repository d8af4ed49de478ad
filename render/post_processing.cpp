// Blur then sharpen of the finished stereogram, each on an 8-bit copy of the output that is copied back.
#include "render/post_processing.h"

#include "api/crt.h"
#include "api/suites.h"
#include "render/host_world.h"
#include "render/pixels.h"
#include "shell/suite_scoper.h"

namespace {

constexpr A_long kSharpenKernelSize = 3;
// The kernel's base weight: the centre grows from it with the amount, the neighbours share what it exceeds.
constexpr A_long kSharpenBase = 2295;

// An 8-bit world of the AEGP world suite, disposed when it was created.
class ScopedAegpWorld {
public:
    explicit ScopedAegpWorld(const AEGP_WorldSuite3 *suite) : suite_(suite) {}
    ~ScopedAegpWorld() { Dispose(); }
    ScopedAegpWorld(const ScopedAegpWorld &) = delete;
    ScopedAegpWorld &operator=(const ScopedAegpWorld &) = delete;

    PF_Err Create(A_long width, A_long height) {
        return suite_->AEGP_New(0, AEGP_WorldType_8, width, height, &world_);
    }
    AEGP_WorldH get() const { return world_; }
    PF_Err Dispose() {
        if (world_ == nullptr) return PF_Err_NONE;
        const PF_Err err = suite_->AEGP_Dispose(world_);
        world_ = nullptr;
        return err;
    }

private:
    const AEGP_WorldSuite3 *suite_;
    AEGP_WorldH world_ = nullptr;
};

// The suites the stage holds from its start to its end.
struct Suites {
    const AEGP_WorldSuite3 *aegp;
    const PF_ANSICallbacksSuite1 *ansi;
    const PF_WorldTransformSuite1 *transform;
};

// Makes the step's 8-bit copy of the output. Returns false, touching nothing, when the output's format is
// none of the three (a failed format query included); otherwise the result of making it is in *err.
bool makeWorkWorld(PF_InData *in_data, PF_EffectWorld *output, PF_PixelFormat format, HostWorld *work,
                   PF_Err *err) {
    if (format == PF_PixelFormat_ARGB32) {
        if (*err == PF_Err_NONE) {
            *err = PF_NEW_WORLD(output->width, output->height, PF_NewWorldFlag_CLEAR_PIXELS, work->get());
        }
        if (*err == PF_Err_NONE) *err = PF_COPY(output, work->get(), nullptr, nullptr);
        return true;
    }
    if (format == PF_PixelFormat_ARGB64) {
        if (*err == PF_Err_NONE) *err = ConvertWorld16ToWorld8(in_data, output, work->get());
        return true;
    }
    if (format == PF_PixelFormat_ARGB128) {
        if (*err == PF_Err_NONE) *err = ConvertWorld32ToWorld8(in_data, output, work->get());
        return true;
    }
    return false;
}

// Copies the work world into the blur world row by row: their strides differ.
PF_Err copyIntoAegpWorld(const Suites &suites, AEGP_WorldH blur_world, PF_EffectWorld *work) {
    A_u_long row_stride = 0;
    PF_Pixel8 *base = nullptr;
    PF_Err err = suites.aegp->AEGP_GetRowBytes(blur_world, &row_stride);
    if (err == PF_Err_NONE) err = suites.aegp->AEGP_GetBaseAddr8(blur_world, &base);
    if (err != PF_Err_NONE) return err;
    const size_t row_size = size_t(work->width) * sizeof(PF_Pixel8);
    // A host answer that cannot hold the rows would have us write past its memory.
    if (base == nullptr || size_t(row_stride) < row_size) return PF_Err_BAD_CALLBACK_PARAM;
    for (A_long y = 0; y < work->height; ++y) {
        const PF_Pixel8 *row = GetPixel8(work, 0, y);
        if (row == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        memcpy(reinterpret_cast<char *>(base) + size_t(y) * row_stride, row, row_size);
    }
    return PF_Err_NONE;
}

void blurStep(PF_InData *in_data, const Suites &suites, PF_EffectWorld *output, PF_PixelFormat format,
              double radius, PF_Err *err) {
    HostWorld work(in_data);
    if (!makeWorkWorld(in_data, output, format, &work, err)) return;
    ScopedAegpWorld blur_world(suites.aegp);
    if (*err == PF_Err_NONE) *err = blur_world.Create(work.get()->width, work.get()->height);
    if (*err == PF_Err_NONE) *err = copyIntoAegpWorld(suites, blur_world.get(), work.get());
    // The radius is the slider's value as it stands: a preview blurs as many of its own pixels as a full render.
    if (*err == PF_Err_NONE) {
        *err = suites.aegp->AEGP_FastBlur(radius, PF_MF_Alpha_STRAIGHT, PF_Quality_HI, blur_world.get());
    }
    PF_EffectWorld blurred;
    memset(&blurred, 0, sizeof blurred);
    if (*err == PF_Err_NONE) *err = suites.aegp->AEGP_FillOutPFEffectWorld(blur_world.get(), &blurred);
    if (*err == PF_Err_NONE) *err = PF_COPY(&blurred, output, nullptr, nullptr);
    KeepFirstError(err, blur_world.Dispose());
    KeepFirstError(err, work.Dispose());
}

void sharpenStep(PF_InData *in_data, const Suites &suites, PF_EffectWorld *output, PF_PixelFormat format,
                 double amount, PF_Err *err) {
    HostWorld work(in_data);
    if (!makeWorkWorld(in_data, output, format, &work, err)) return;
    A_long kernel[kSharpenKernelSize * kSharpenKernelSize];
    ComputeSharpenKernel(amount, suites.ansi->ceil, kernel);
    HostWorld result(in_data);
    if (*err == PF_Err_NONE) {
        *err = PF_NEW_WORLD(work.get()->width, work.get()->height, PF_NewWorldFlag_CLEAR_PIXELS, result.get());
    }
    // The convolution writes only inside the extent hint; starting from the work world keeps the pixels
    // outside it as they were instead of clearing them in the output.
    if (*err == PF_Err_NONE) *err = PF_COPY(work.get(), result.get(), nullptr, nullptr);
    if (*err == PF_Err_NONE) {
        const PF_LRect area = in_data->extent_hint;
        *err = suites.transform->convolve(in_data->effect_ref, work.get(), &area, PF_KernelFlag_NONE,
                                          kSharpenKernelSize, kernel, kernel, kernel, kernel, result.get());
    }
    if (*err == PF_Err_NONE) *err = PF_COPY(result.get(), output, nullptr, nullptr);
    KeepFirstError(err, work.Dispose());
    KeepFirstError(err, result.Dispose());
}

}  // namespace

double ClampPostAmount(double amount) {
    if (!(amount > 0.0)) return 0.0;
    return amount > 100.0 ? 100.0 : amount;
}

void ComputeSharpenKernel(double sharpen, A_FpLong (*ceil_fn)(A_FpLong), A_long kernel[9]) {
    for (int i = 0; i < kSharpenKernelSize * kSharpenKernelSize; ++i) kernel[i] = 0;
    const double s = ClampPostAmount(sharpen) / 100.0;
    // The amount in 16.16 fixed point, halves rounding up.
    const A_long fixed = static_cast<A_long>(s * 65536.0 + 0.5);
    double whole = ceil_fn != nullptr ? ceil_fn(double(fixed)) : double(fixed);
    // The value is whole already; an answer that is not (or not finite) cannot be right, so keep the value.
    if (!(whole >= 0.0 && whole <= 65536.0)) whole = double(fixed);
    const A_long centre = static_cast<A_long>((whole / 16.0 + 1.0) * double(kSharpenBase));
    const A_long edge = (kSharpenBase - centre) / 4;
    kernel[1] = edge;
    kernel[3] = edge;
    kernel[4] = centre;
    kernel[5] = edge;
    kernel[7] = edge;
}

void ApplyPostProcessing(PF_InData *in_data, PF_OutData *out_data, PF_EffectWorld *output, double blur,
                         double sharpen, PF_Err *err) {
    if (err == nullptr) return;
    if (in_data == nullptr || in_data->pica_basicP == nullptr || in_data->utils == nullptr) {
        KeepFirstError(err, PF_Err_BAD_CALLBACK_PARAM);
        return;
    }
    // All four are held for the whole stage and released in reverse order by the scopes.
    AEFX_SuiteScoper<AEGP_WorldSuite3> aegp(in_data, kAEGPWorldSuite, kAEGPWorldSuiteVersion3, out_data);
    AEFX_SuiteScoper<PF_WorldSuite2> world_suite(in_data, kPFWorldSuite, kPFWorldSuiteVersion2, out_data);
    AEFX_SuiteScoper<PF_ANSICallbacksSuite1> ansi(in_data, kPFANSISuite, kPFANSISuiteVersion1, out_data);
    AEFX_SuiteScoper<PF_WorldTransformSuite1> transform(in_data, kPFWorldTransformSuite,
                                                        kPFWorldTransformSuiteVersion1, out_data);
    const Suites suites{aegp.get(), ansi.get(), transform.get()};

    if (output == nullptr) KeepFirstError(err, PF_Err_BAD_CALLBACK_PARAM);
    PF_PixelFormat format = PF_PixelFormat_INVALID;
    if (*err == PF_Err_NONE) *err = world_suite->PF_GetPixelFormat(output, &format);
    if (*err != PF_Err_NONE) format = PF_PixelFormat_INVALID;

    blur = ClampPostAmount(blur);
    sharpen = ClampPostAmount(sharpen);
    if (blur > 0.0) blurStep(in_data, suites, output, format, blur, err);
    if (sharpen > 0.0) sharpenStep(in_data, suites, output, format, sharpen, err);
}
