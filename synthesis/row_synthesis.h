// One stereogram row on plain buffers: ties between working pixels, colouring from a pattern source, averaging.
#pragma once

#include <stdint.h>

#include "api/effect_api.h"
#include "synthesis/fast_divisor.h"
#include "synthesis/geometry.h"
#include "synthesis/pattern_sources.h"

// Separation and tie offset for each luminance of a depth pixel, built once per render with the Convergence
// inversion folded in, so the tie pass does no floating-point work.
struct SeparationTable {
    int32_t sep[256];   // separation in working pixels
    int32_t back[256];  // left partner of working pixel x is x - back (see TieRow for the one exception)
};
void BuildSeparationTable(const StereogramGeometry &g, SeparationTable *table);

// The three arrays of one render, W entries each, reused row after row.
struct RowArrays {
    int32_t *leftLink = nullptr;
    int32_t *rightLink = nullptr;
    PF_Pixel8 *rowColors = nullptr;
};

// Resets the ties and ties every working pixel pair that must match at the depths of depthRow (g.w pixels).
// Afterwards ties are mutual: leftLink[r] == l != r exactly when rightLink[l] == r. rowColors serves as scratch
// on the way, so its contents are left undefined.
void TieRow(const StereogramGeometry &g, const SeparationTable &table, const PF_Pixel8 *depthRow, RowArrays &rows);

// Colours every working pixel once: rightward from c0, then leftward from c0 - 1. A pixel tied to a partner
// already coloured in this pass copies it; a free pixel right after a copied one repeats that one; any other
// free pixel takes fresh(x), called in the order the passes reach them. Requires g.drawable().
template <typename Fresh>
void ColourRow(const StereogramGeometry &g, RowArrays &rows, Fresh &&fresh) {
    const int32_t *leftLink = rows.leftLink;
    const int32_t *rightLink = rows.rightLink;
    PF_Pixel8 *colors = rows.rowColors;
    const int32_t W = g.W;
    const int32_t c0 = g.c0;

    int32_t lastCopied = -10;
    for (int32_t x = c0; x < W; ++x) {
        const int32_t l = leftLink[x];
        if (l != x && l >= c0) {
            colors[x] = colors[l];
            lastCopied = x;
        } else if (lastCopied == x - 1) {
            colors[x] = colors[x - 1];
        } else {
            colors[x] = fresh(x);
        }
    }
    lastCopied = -10;
    for (int32_t x = c0 - 1; x >= 0; --x) {
        const int32_t r = rightLink[x];
        if (r != x) {
            colors[x] = colors[r];
            lastCopied = x;
        } else if (lastCopied == x + 1) {
            colors[x] = colors[x + 1];
        } else {
            colors[x] = fresh(x);
        }
    }
}

// Averages each group of N working pixels into one output pixel, channel by channel, truncating. out may be
// rowColors itself: output pixel ox is written only after the group that starts at ox * N >= ox was read.
void AverageRow(const StereogramGeometry &g, const PF_Pixel8 *rowColors, PF_Pixel8 *out);

// What colours the free pixels of one render: random dots (pattern 1 or 2) or a usable texture.
class PatternSource {
public:
    PatternSource(const StereogramGeometry &g, int32_t pattern, double contrast_factor, const PixelView8 &texture);
    bool usesTexture() const { return useTexture_; }
    const RandomDotSource &dots() const { return dots_; }
    const TextureSampler &texture() const { return texture_; }

private:
    bool useTexture_;
    RandomDotSource dots_;
    TextureSampler texture_;
};

// The whole row y: ties, colouring and averaging into out (g.w pixels; may alias rows.rowColors).
// Requires g.drawable().
void SynthesizeRow(const StereogramGeometry &g, const SeparationTable &table, const PF_Pixel8 *depthRow,
                   int32_t y, const PatternSource &source, RowArrays &rows, PF_Pixel8 *out);
