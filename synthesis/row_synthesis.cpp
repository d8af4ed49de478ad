// The row synthesis tuned for speed: table lookups and integer work only, in a fixed number of passes per row.
#include "synthesis/row_synthesis.h"

void BuildSeparationTable(const StereogramGeometry &g, SeparationTable *table) {
    for (int32_t lum = 0; lum < 256; ++lum) {
        const int32_t depthLum = g.convergence ? 255 - lum : lum;
        const int32_t sep = SeparationOfDepth(g, DepthOfLuminance(g, depthLum));
        table->sep[lum] = sep;
        // trunc(x - sep / 2.0) is x - ceil(sep / 2) wherever it is not negative.
        table->back[lum] = sep - sep / 2;
    }
}

void TieRow(const StereogramGeometry &g, const SeparationTable &table, const PF_Pixel8 *depthRow, RowArrays &rows) {
    int32_t *leftLink = rows.leftLink;
    int32_t *rightLink = rows.rightLink;
    const int32_t W = g.W;
    const int32_t N = g.N;
    for (int32_t x = 0; x < W; ++x) {
        leftLink[x] = x;
        rightLink[x] = x;
    }
    int32_t x = 0;
    for (int32_t ox = 0; ox < g.w; ++ox) {
        const PF_Pixel8 p = depthRow[ox];
        const int32_t lum = (int32_t(p.red) + p.green + p.blue) / 3;  // the mean of the colours, truncated
        const int32_t sep = table.sep[lum];
        const int32_t back = table.back[lum];
        for (int32_t k = 0; k < N; ++k, ++x) {
            int32_t left = x - back;
            // An odd separation puts x - sep / 2.0 at -0.5 here, which truncates to 0, not -1.
            if (left == -1 && (sep & 1)) left = 0;
            const int32_t right = left + sep;
            if (left < 0 || right >= W) continue;
            bool tie = true;
            const int32_t l = leftLink[right];
            if (l != right) {
                if (l < left) {
                    rightLink[l] = l;
                    leftLink[right] = right;
                } else {
                    tie = false;
                }
            }
            const int32_t r = rightLink[left];
            if (r != left) {
                if (r > right) {
                    leftLink[r] = r;
                    rightLink[left] = left;
                } else {
                    tie = false;
                }
            }
            if (tie) {
                leftLink[right] = left;
                rightLink[left] = right;
            }
        }
    }
}

void AverageRow(const StereogramGeometry &g, const PF_Pixel8 *rowColors, PF_Pixel8 *out) {
    const int32_t N = g.N;
    if (N == 1) {
        if (out != rowColors) {
            for (int32_t ox = 0; ox < g.w; ++ox) out[ox] = rowColors[ox];
        }
        return;
    }
    const FastDivisor byN(uint32_t(N > 0 ? N : 1));
    const PF_Pixel8 *group = rowColors;
    for (int32_t ox = 0; ox < g.w; ++ox, group += N) {
        uint32_t a = 0, r = 0, gr = 0, b = 0;
        for (int32_t k = 0; k < N; ++k) {
            a += group[k].alpha;
            r += group[k].red;
            gr += group[k].green;
            b += group[k].blue;
        }
        out[ox] = PF_Pixel8{uint8_t(byN.Div(a)), uint8_t(byN.Div(r)), uint8_t(byN.Div(gr)), uint8_t(byN.Div(b))};
    }
}

PatternSource::PatternSource(const StereogramGeometry &g, int32_t pattern, double contrast_factor,
                             const PixelView8 &texture)
    : useTexture_(pattern == 3 && texture.usable()), dots_(pattern, contrast_factor),
      texture_(texture, TextureGeometryOf(g)) {}

void SynthesizeRow(const StereogramGeometry &g, const SeparationTable &table, const PF_Pixel8 *depthRow,
                   int32_t y, const PatternSource &source, RowArrays &rows, PF_Pixel8 *out) {
    TieRow(g, table, depthRow, rows);
    if (source.usesTexture()) {
        const TextureSampler &texture = source.texture();
        ColourRow(g, rows, [&texture, y](int32_t x) { return texture.Sample(x, y); });
    } else {
        const RandomDotSource &dots = source.dots();
        ColourRow(g, rows, [&dots](int32_t) { return dots.Next(); });
    }
    AverageRow(g, rows.rowColors, out);
}
