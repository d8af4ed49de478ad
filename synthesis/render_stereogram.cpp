// The host-facing stereogram generator: makes the working worlds and row arrays, runs the row synthesis over
// every row and writes the result at the output's bit depth, releasing everything it took on every path.
#include "synthesis/render_stereogram.h"

#include "api/crt.h"
#include "api/suites.h"
#include "render/pixels.h"
#include "shell/param_index.h"
#include "synthesis/geometry.h"
#include "synthesis/host_resources.h"
#include "synthesis/pattern_sources.h"
#include "synthesis/prepare_texture.h"
#include "synthesis/row_synthesis.h"

namespace {

bool usableWorld(const PF_EffectWorld &world) {
    return world.data != nullptr && world.width > 0 && world.height > 0;
}

// Unknown pattern choices render as Random Dots, the parameter's default.
A_long sanitizePattern(A_long pattern) {
    return (pattern == PATTERN_RANDOM_COLOR_DOTS || pattern == PATTERN_TEXTURE) ? pattern : PATTERN_RANDOM_DOTS;
}

PixelView8 viewOf(const PF_EffectWorld &world) {
    PixelView8 view;
    view.base = static_cast<const uint8_t *>(world.data);
    view.rowbytes = world.rowbytes;
    view.width = world.width;
    view.height = world.height;
    return view;
}

// Writes finished 8-bit rows into the output at its own depth by the widening rules; positions outside the
// output are skipped.
class OutputWriter {
public:
    OutputWriter(PF_EffectWorld *output, PF_PixelFormat format) : output_(output), format_(format) {}

    static bool Writable(PF_PixelFormat format) {
        return format == PF_PixelFormat_ARGB32 || format == PF_PixelFormat_ARGB64 || format == PF_PixelFormat_ARGB128;
    }

    void WriteRow(A_long y, const PF_Pixel8 *row, A_long width) const {
        const A_long n = width < output_->width ? width : output_->width;
        if (n <= 0) return;
        if (format_ == PF_PixelFormat_ARGB32) {
            if (PF_Pixel8 *dst = GetPixel8(output_, 0, y)) memcpy(dst, row, size_t(n) * sizeof(PF_Pixel8));
        } else if (format_ == PF_PixelFormat_ARGB64) {
            if (PF_Pixel16 *dst = GetPixel16(output_, 0, y)) WidenRow8To16(row, dst, n);
        } else if (format_ == PF_PixelFormat_ARGB128) {
            if (PF_PixelFloat *dst = GetPixel32(output_, 0, y)) WidenRow8To32(row, dst, n);
        }
    }

private:
    PF_EffectWorld *output_;
    PF_PixelFormat format_;
};

}  // namespace

void RenderStereogram(PF_InData *in_data, PF_OutData *out_data, PF_EffectWorld *output, const RenderInfo *info) {
    if (in_data == nullptr || output == nullptr || info == nullptr) return;
    if (!usableWorld(info->depth_world)) return;

    // Settings from the record, clamped to valid values so that a damaged record cannot crash the render.
    const A_long pattern = sanitizePattern(info->pattern);
    const A_long transform = info->texture_transform == TEXTURE_RESIZING ? TEXTURE_RESIZING : TEXTURE_CROPPING;
    const double period = SanitizePeriod(info->period);
    const bool textureInUse = pattern == PATTERN_TEXTURE && usableWorld(info->texture_world);
    // Texture chosen but none usable: the layer is to pass through, so nothing is drawn over it.
    if (pattern == PATTERN_TEXTURE && !textureInUse) return;

    // Local copies of the host's descriptions: the record stays untouched and the host calls take non-const worlds.
    PF_EffectWorld depthIn = info->depth_world;
    PF_EffectWorld textureIn = info->texture_world;
    const A_long w = depthIn.width;
    const A_long h = depthIn.height;

    TextureSize textureSize;
    if (textureInUse) textureSize = PrepareTextureSize(transform, textureIn.width, textureIn.height, period);

    // Declared in reverse order of release: row arrays first, then the working worlds, then the texture's 8-bit
    // conversion, and the suites, acquired only when first needed, last of all.
    LateSuite<PF_HandleSuite2> handleSuite;
    LateSuite<PF_WorldSuite2> worldSuite;
    HostWorld texture8(in_data), textureWork(in_data), depthWork(in_data);

    PF_Err err = depthWork.Create(w, h);
    if (err == PF_Err_NONE && textureInUse) err = textureWork.Create(textureSize.width, textureSize.height);
    if (err != PF_Err_NONE) return;

    const StereogramGeometry g = ComputeGeometry(w, period, info->oversampling, info->stereogram_type);

    const PF_HandleSuite2 *handles = handleSuite.Acquire(in_data, kPFHandleSuite, kPFHandleSuiteVersion2, out_data);
    LockedHandle leftHandle(handles), rightHandle(handles), colorHandle(handles);
    const A_HandleSize rowBytes = A_HandleSize(g.W) * 4;
    if (!leftHandle.Allocate(rowBytes) || !rightHandle.Allocate(rowBytes) || !colorHandle.Allocate(rowBytes)) return;

    // Narrower than one strip: nothing to draw, and the output keeps what the host gave.
    if (!g.drawable()) return;

    const double contrastFactor = ContrastFactor(info->dot_contrast);

    PF_PixelFormat format = PF_PixelFormat_INVALID;
    const PF_WorldSuite2 *worlds = worldSuite.Acquire(in_data, kPFWorldSuite, kPFWorldSuiteVersion2, out_data);
    err = worlds->PF_GetPixelFormat(output, &format);
    if (err != PF_Err_NONE) return;

    // In deep projects the depth map and the texture have the output's depth, and the synthesis reads 8-bit
    // pixels. The texture is converted whole, for the host to scale; the depth map is narrowed a row at a time
    // into depthWork as the synthesis reaches it, so that each deep row is read once while it is in the cache,
    // where a whole 8-bit copy would be written, read back and copied again.
    const bool deep = format == PF_PixelFormat_ARGB128 || format == PF_PixelFormat_ARGB64;
    PF_EffectWorld *textureSource = &textureIn;
    if (deep) {
        if (textureInUse) {
            auto convert = format == PF_PixelFormat_ARGB128 ? ConvertWorld32ToWorld8 : ConvertWorld16ToWorld8;
            err = convert(in_data, &textureIn, texture8.get());
            textureSource = texture8.get();
        }
    } else {
        err = PF_COPY(&depthIn, depthWork.get(), nullptr, nullptr);
    }
    if (err == PF_Err_NONE && textureInUse) {
        err = PrepareTexture(in_data, textureSource, transform, period, textureWork.get());
    }
    if (err != PF_Err_NONE) return;

    // An output in a format we cannot write gets nothing; computing its rows would change nothing visible.
    if (!OutputWriter::Writable(format)) return;

    SeparationTable table;
    BuildSeparationTable(g, &table);
    const PatternSource source(g, pattern, contrastFactor, textureInUse ? viewOf(*textureWork.get()) : PixelView8());
    RowArrays rows;
    rows.leftLink = static_cast<int32_t *>(leftHandle.address());
    rows.rightLink = static_cast<int32_t *>(rightHandle.address());
    rows.rowColors = static_cast<PF_Pixel8 *>(colorHandle.address());
    const OutputWriter writer(output, format);

    // Rows below the output would be computed only to be skipped, so the loop ends at the output's last row.
    const A_long rowsToDraw = h < output->height ? h : output->height;
    const bool writeDirect = format == PF_PixelFormat_ARGB32 && output->width >= w;
    for (A_long y = 0; y < rowsToDraw; ++y) {
        PF_Pixel8 *depthRow = GetPixel8(depthWork.get(), 0, y);
        if (depthRow == nullptr) break;
        if (format == PF_PixelFormat_ARGB128) {
            if (const PF_PixelFloat *deepRow = GetPixel32(&depthIn, 0, y)) NarrowRow32To8(deepRow, depthRow, w);
        } else if (format == PF_PixelFormat_ARGB64) {
            if (const PF_Pixel16 *deepRow = GetPixel16(&depthIn, 0, y)) NarrowRow16To8(deepRow, depthRow, w);
        }
        // An 8-bit output row that holds the whole picture row takes the averages directly; otherwise they
        // overwrite the front of rowColors, which the next row colours afresh anyway, and are written from there.
        PF_Pixel8 *direct = writeDirect ? GetPixel8(output, 0, y) : nullptr;
        SynthesizeRow(g, table, depthRow, y, source, rows, direct != nullptr ? direct : rows.rowColors);
        if (direct == nullptr) writer.WriteRow(y, rows.rowColors, w);
    }
}
