// The row synthesis as a direct transcription of its rules, used by tests as the yardstick for the fast code.
#include "synthesis/reference_row_synthesis.h"

void ReferenceSynthesizeRow(const StereogramGeometry &g, const PF_Pixel8 *depthRow, int32_t y, int32_t pattern,
                            double contrast_factor, const PixelView8 &texture, int32_t *leftLink,
                            int32_t *rightLink, PF_Pixel8 *rowColors, PF_Pixel8 *out) {
    const int32_t W = g.W, N = g.N, c0 = g.c0;
    const bool useTexture = pattern == 3 && texture.usable();
    const TextureGeometry tg = TextureGeometryOf(g);
    auto fresh = [&](int32_t x) {
        return useTexture ? SampleTexture(texture, tg, x, y) : GetRandomPixel(pattern, contrast_factor);
    };

    for (int32_t x = 0; x < W; ++x) {
        leftLink[x] = x;
        rightLink[x] = x;
    }

    int32_t sep = 0;
    for (int32_t x = 0; x < W; ++x) {
        if (x % N == 0) {
            const PF_Pixel8 p = depthRow[x / N];
            int32_t lum = static_cast<int32_t>((double(p.red) + double(p.green) + double(p.blue)) / 3.0);
            if (g.convergence) lum = 255 - lum;
            const int32_t Z = static_cast<int32_t>(double(g.Zfar) - double(lum * g.R) / 256.0);
            sep = static_cast<int32_t>(double(N * g.E) * double(Z) / double(g.D + Z));
        }
        const int32_t left = static_cast<int32_t>(double(x) - double(sep) / 2.0);
        const int32_t right = left + sep;
        if (left < 0 || right >= W) continue;
        bool tie = true;
        if (leftLink[right] != right) {
            const int32_t l = leftLink[right];
            if (l < left) {
                rightLink[l] = l;
                leftLink[right] = right;
            } else {
                tie = false;
            }
        }
        if (rightLink[left] != left) {
            const int32_t r = rightLink[left];
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

    int32_t lastCopied = -10;
    for (int32_t x = c0; x < W; ++x) {
        if (leftLink[x] != x && leftLink[x] >= c0) {
            rowColors[x] = rowColors[leftLink[x]];
            lastCopied = x;
        } else if (lastCopied == x - 1) {
            rowColors[x] = rowColors[x - 1];
        } else {
            rowColors[x] = fresh(x);
        }
    }
    lastCopied = -10;
    for (int32_t x = c0 - 1; x >= 0; --x) {
        if (rightLink[x] != x) {
            rowColors[x] = rowColors[rightLink[x]];
            lastCopied = x;
        } else if (lastCopied == x + 1) {
            rowColors[x] = rowColors[x + 1];
        } else {
            rowColors[x] = fresh(x);
        }
    }

    for (int32_t ox = 0; ox < g.w; ++ox) {
        int32_t a = 0, r = 0, gr = 0, b = 0;
        for (int32_t k = 0; k < N; ++k) {
            const PF_Pixel8 &p = rowColors[ox * N + k];
            a += p.alpha;
            r += p.red;
            gr += p.green;
            b += p.blue;
        }
        out[ox] = PF_Pixel8{uint8_t(a / N), uint8_t(r / N), uint8_t(gr / N), uint8_t(b / N)};
    }
}
