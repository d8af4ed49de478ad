// The row synthesis tuned for speed: table lookups and integer work only, in a fixed number of passes per row.
#include "synthesis/row_synthesis.h"

#include "api/crt.h"

void BuildSeparationTable(const StereogramGeometry &g, SeparationTable *table) {
    for (int32_t lum = 0; lum < 256; ++lum) {
        const int32_t depthLum = g.convergence ? 255 - lum : lum;
        const int32_t sep = SeparationOfDepth(g, DepthOfLuminance(g, depthLum));
        table->sep[lum] = sep;
        // trunc(x - sep / 2.0) is x - ceil(sep / 2) wherever it is not negative.
        table->back[lum] = sep - sep / 2;
    }
}

namespace {

// Ties left and right (0 <= left < right < W) unless an existing pair of equal or smaller separation claims
// either end; a wider pair that collides is untied first. Both tests always run.
inline void tiePair(int32_t *leftLink, int32_t *rightLink, int32_t left, int32_t right) {
    const int32_t l = leftLink[right];
    const int32_t r = rightLink[left];  // read early: the first test never writes rightLink[left]
    if (l == right && r == left) {  // both ends free: the common case
        leftLink[right] = left;
        rightLink[left] = right;
        return;
    }
    bool tie = true;
    if (l != right) {
        if (l < left) {
            rightLink[l] = l;
            leftLink[right] = right;
        } else {
            tie = false;
        }
    }
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

// The tie pass over the groups of one row, the separations of its depth samples given. With the group size
// known at compile time (kN > 0) the loop over a group unrolls; kN == 0 takes it from g.N.
template <int32_t kN>
void tieGroups(const StereogramGeometry &g, const PF_Pixel8 *seps, int32_t *leftLink, int32_t *rightLink) {
    const int32_t W = g.W;
    const int32_t N = kN > 0 ? kN : g.N;
    int32_t x = 0;
    for (int32_t ox = 0; ox < g.w; ++ox, x += N) {
        int32_t sep;
        memcpy(&sep, seps + ox, sizeof sep);
        // trunc(x - sep / 2.0) is x - ceil(sep / 2) wherever it is not negative.
        const int32_t left0 = x - (sep - (sep >> 1));
        if (left0 >= 0 && left0 + (N - 1) + sep < W) {
            // Every pixel of the group has both ends inside the row.
            for (int32_t k = 0; k < N; ++k) tiePair(leftLink, rightLink, left0 + k, left0 + k + sep);
            continue;
        }
        for (int32_t k = 0; k < N; ++k) {
            int32_t left = left0 + k;
            // An odd separation puts x - sep / 2.0 at -0.5 here, which truncates to 0, not -1.
            if (left == -1 && (sep & 1)) left = 0;
            const int32_t right = left + sep;
            if (left < 0 || right >= W) continue;
            tiePair(leftLink, rightLink, left, right);
        }
    }
}

}  // namespace

void TieRow(const StereogramGeometry &g, const SeparationTable &table, const PF_Pixel8 *depthRow, RowArrays &rows) {
    int32_t *leftLink = rows.leftLink;
    int32_t *rightLink = rows.rightLink;
    const int32_t W = g.W;
    const int32_t N = g.N;
    for (int32_t x = 0; x < W; ++x) {
        leftLink[x] = x;
        rightLink[x] = x;
    }
    // The separation of every depth sample first, in a loop of its own that keeps the luminance arithmetic out
    // of the tie loop; rowColors is free until the colouring and holds at least w entries.
    // Copied in and out bytewise: the storage holds pixels at other times.
    PF_Pixel8 *seps = rows.rowColors;
    for (int32_t ox = 0; ox < g.w; ++ox) {
        const PF_Pixel8 p = depthRow[ox];
        const int32_t sep = table.sep[(int32_t(p.red) + p.green + p.blue) / 3];  // the mean of the colours, truncated
        memcpy(seps + ox, &sep, sizeof sep);
    }
    switch (N) {
        case 1: tieGroups<1>(g, seps, leftLink, rightLink); break;
        case 2: tieGroups<2>(g, seps, leftLink, rightLink); break;
        case 3: tieGroups<3>(g, seps, leftLink, rightLink); break;
        case 4: tieGroups<4>(g, seps, leftLink, rightLink); break;
        default: tieGroups<0>(g, seps, leftLink, rightLink); break;
    }
}

namespace {

// A working pixel as one 32-bit unit: on the little-endian processors the effect is built for, alpha is the
// lowest byte, then red, green and blue.
inline uint32_t loadPixel(const PF_Pixel8 *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Largest N for the packed path: 255 * N must fit a 16-bit lane, and the multiply-and-shift quotient
// (s * ceil(2^20 / N)) >> 20 equals s / N for every sum s <= 255 * N only while N * N < 2^20 / 255.
constexpr int32_t kPackedAverageMaxN = 64;

// Channel sums two to a 32-bit word, in 16-bit lanes: alpha and green in one, red and blue in the other. With
// the group size known at compile time (kN > 0) the sum of a group is unrolled; kN == 0 takes it from n.
template <int32_t kN>
void averagePacked(const PF_Pixel8 *rowColors, PF_Pixel8 *out, int32_t w, int32_t n) {
    const int32_t N = kN > 0 ? kN : n;
    const uint32_t reciprocal = ((uint32_t(1) << 20) + uint32_t(N) - 1) / uint32_t(N);
    // Averages go to a small buffer of their own and then to out a block at a time: out may be rowColors
    // itself, and stores into the row being read would hold up the loads after them. A block is stored once
    // all its groups are read, and its last pixel, start + count - 1, lies below (start + count) * N, where the
    // reading has got to.
    constexpr int32_t kBlock = 64;
    uint32_t block[kBlock];
    const PF_Pixel8 *group = rowColors;
    for (int32_t start = 0; start < w; start += kBlock) {
        const int32_t count = w - start < kBlock ? w - start : kBlock;
        for (int32_t i = 0; i < count; ++i, group += N) {
            uint32_t ag = 0, rb = 0;
            for (int32_t k = 0; k < N; ++k) {
                const uint32_t p = loadPixel(group + k);
                ag += p & 0x00FF00FFu;
                rb += (p >> 8) & 0x00FF00FFu;
            }
            const uint32_t a = ((ag & 0xFFFFu) * reciprocal) >> 20;
            const uint32_t gr = ((ag >> 16) * reciprocal) >> 20;
            const uint32_t r = ((rb & 0xFFFFu) * reciprocal) >> 20;
            const uint32_t b = ((rb >> 16) * reciprocal) >> 20;
            block[i] = a | (r << 8) | (gr << 16) | (b << 24);
        }
        memcpy(out + start, block, size_t(count) * sizeof block[0]);
    }
}

}  // namespace

void AverageRow(const StereogramGeometry &g, const PF_Pixel8 *rowColors, PF_Pixel8 *out) {
    const int32_t N = g.N;
    if (N == 1) {
        if (out != rowColors) {
            for (int32_t ox = 0; ox < g.w; ++ox) out[ox] = rowColors[ox];
        }
        return;
    }
    switch (N) {
        case 2: averagePacked<2>(rowColors, out, g.w, N); return;
        case 3: averagePacked<3>(rowColors, out, g.w, N); return;
        case 4: averagePacked<4>(rowColors, out, g.w, N); return;
        case 5: averagePacked<5>(rowColors, out, g.w, N); return;
        case 6: averagePacked<6>(rowColors, out, g.w, N); return;
        case 7: averagePacked<7>(rowColors, out, g.w, N); return;
        case 8: averagePacked<8>(rowColors, out, g.w, N); return;
        case 9: averagePacked<9>(rowColors, out, g.w, N); return;
        case 10: averagePacked<10>(rowColors, out, g.w, N); return;
        default: break;
    }
    if (N > 1 && N <= kPackedAverageMaxN) {
        averagePacked<0>(rowColors, out, g.w, N);
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
